// The shared library's own translation unit: everything else comes from the
// layer archives linked in whole. It carries the version a loader can query.

extern "C" const char* korv_user_api_version()
{
    return KORV_USER_API_VERSION;
}
