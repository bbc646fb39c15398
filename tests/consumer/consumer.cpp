// Builds against the installed headers and library only, and proves the
// link by configuring a real API object: no network is touched, since the
// library's thread is never started.
#include <korv_user_api/KorvUserApi.h>

#include <cstdio>

extern "C" const char* korv_user_api_version();

namespace {

class Handler : public BRAX::KORV_USER_API::KorvMarketDataHandler {
public:
    void handle_market_data(const BRAX::KORV_USER_API::TopicSettlementSession*,
                            const BRAX::KORV_USER_API::TopicSnapTime*,
                            const BRAX::KORV_USER_API::TopicMarketData*,
                            const BRAX::KORV_USER_API::TopicPriceEntry*,
                            const BRAX::KORV_USER_API::TopicPriceEntry*) override
    {
    }
};

}  // namespace

int main()
{
    Handler handler;
    BRAX::KORV_USER_API::KorvUserApi* api = BRAX::KORV_USER_API::KorvUserApi::create_instance();
    api->reg_mdqp_location("tcp://127.0.0.1:30007");
    api->set_authentication("P01", "U01", "secret");
    int first = api->subscribe_topic(1001, &handler);
    int again = api->subscribe_topic(1001, &handler);
    api->close();
    if (first != 0 || again != -12) {
        printf("consumer failed: subscribe gave %d and %d\n", first, again);
        return 1;
    }
    printf("consumer ok, library %s\n", korv_user_api_version());
    return 0;
}
