// Internal to the capture: every text the capture prints or writes into a
// file's comments, in one place.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

namespace capture_text {

// Why a file holds no query session (the file's "korv.query=none reason=").
constexpr const char* NO_QUERY_SERVER = "no query server given";
constexpr const char* NO_LOGIN_ASKED = "--no-login";
constexpr const char* UNREACHABLE = "query server %s unreachable: %s";
constexpr const char* CONNECT_TIMEOUT = "query server %s did not answer the connection within %d s";
constexpr const char* LOGIN_REFUSED = "login refused: %d %s";
constexpr const char* LOGIN_TIMEOUT = "no login response within %d s";
constexpr const char* SESSION_LOST = "query session lost: %s";
constexpr const char* SESSION_CLOSED = "the server closed the connection";
constexpr const char* SESSION_SILENT = "nothing received for %d s";
constexpr const char* ENDED_BEFORE_LOGIN = "the capture ended before the login was answered";

// File comments.
constexpr const char* COMMENT_QUERY_RECORDED = "korv.query=recorded";
constexpr const char* COMMENT_QUERY_NONE = "korv.query=none reason=%s";
constexpr const char* COMMENT_RCVBUF = "korv.rcvbuf=%d";
constexpr const char* COMMENT_VERSION = "korv.version=1";

// Lines on standard error, each after "korv_md_capture: ".
constexpr const char* MULTICAST_ALONE = "%s: no query session (%s); recording the multicast alone";
constexpr const char* RECONNECTING = "%s: %s; logging in again in %d s";
constexpr const char* QUERY_REFUSED = "%s: query %u for topic %u refused: %d %s";
constexpr const char* RCVBUF_SHORT =
    "%s: asked for a receive buffer of %d bytes, the kernel granted %d";
constexpr const char* PROGRESS = "%.0f s, %s";
constexpr const char* SUMMARY = "%s: %.1f s, %s";
constexpr const char* WRITE_FAILED = "%s";
constexpr const char* RECEIVE_FAILED = "receiving from %s failed: %s";

}  // namespace capture_text

namespace capture_text {

// The text of one of the formats above.
inline std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

}  // namespace capture_text
