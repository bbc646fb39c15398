#include "source/korv_bridge/BridgeOptions.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "source/korv_bridge/BridgeText.h"

namespace korv_bridge {

namespace {

constexpr long MAX_TOPIC_ID = 65535;

bool parse_number(const std::string& text, long low, long high, long& value)
{
    char* end = nullptr;
    errno = 0;
    value = strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && value >= low && value <= high;
}

std::string format(const char* pattern, const char* program, const std::string& what)
{
    char text[512];
    snprintf(text, sizeof text, pattern, program, what.c_str());
    return text;
}

}  // namespace

bool BridgeOptions::parse(int argc, char* argv[], std::string& error)
{
    const char* program = argc > 0 ? argv[0] : "korv_md_bridge";
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        std::string bad;
        if (publisher.nats.take(argc, argv, i, bad)) {
            if (!bad.empty()) {
                error = format(option == "--token-file" ? text::TOKEN_FILE : text::BAD_ARGUMENT,
                               program, bad);
                return false;
            }
            continue;
        }
        if (option == "--memory") {
            publisher.memory = true;
            continue;
        }
        if (option.rfind("--", 0) != 0) {
            positional.push_back(option);
            continue;
        }
        if (i + 1 >= argc) {
            error = format(text::BAD_ARGUMENT, program, option);
            return false;
        }
        const std::string value = argv[++i];
        long number = 0;
        bool good = true;
        if (option == "--stream")
            publisher.stream = value;
        else if (option == "--prefix")
            publisher.prefix = value;
        else if (option == "--name")
            publisher.name = value;
        else if (option == "--replicas" && (good = parse_number(value, 1, 5, number)))
            publisher.replicas = int(number);
        else if (option == "--max-pending" && (good = parse_number(value, 1, 1 << 20, number)))
            publisher.max_pending = int(number);
        else if (option == "--liveness-ms" && (good = parse_number(value, 10, 3600000, number)))
            publisher.liveness_ms = int(number);
        else
            good = false;
        if (!good || value.empty()) {
            error = format(text::BAD_ARGUMENT, program, option + " " + value);
            return false;
        }
    }
    if (positional.size() != 6) {
        error.clear();
        return false;
    }
    std::stringstream list(positional[0]);
    for (std::string item; std::getline(list, item, ',');) {
        long topic = 0;
        if (!parse_number(item, 0, MAX_TOPIC_ID, topic)) {
            error = format(text::BAD_TOPIC, program, positional[0]);
            return false;
        }
        topics.push_back(unsigned(topic));
    }
    if (topics.empty()) {
        error = format(text::BAD_TOPIC, program, positional[0]);
        return false;
    }
    mdqp_location = positional[1];
    mirp_location = positional[2];
    participant_id = positional[3];
    user_id = positional[4];
    password = positional[5];
    publisher.nats.name = publisher.name;
    return true;
}

}  // namespace korv_bridge
