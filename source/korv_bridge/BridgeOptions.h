// Internal to the bridge: its command line. The test application's six
// arguments (several topics allowed, comma separated) after the bridge's own
// options.
#pragma once

#include <string>
#include <vector>

#include "source/korv_bridge/BridgePublisher.h"

namespace korv_bridge {

struct BridgeOptions {
    PublisherSettings publisher;
    std::vector<unsigned> topics;
    std::string mdqp_location;
    std::string mirp_location;
    std::string participant_id;
    std::string user_id;
    std::string password;

    // false with the reason in error (empty: print the usage only).
    bool parse(int argc, char* argv[], std::string& error);
};

}  // namespace korv_bridge
