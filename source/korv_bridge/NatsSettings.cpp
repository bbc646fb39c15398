#include "source/korv_bridge/NatsSettings.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace korv_bridge {

namespace {

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        if (!part.empty())
            parts.push_back(part);
    }
    return parts;
}

}  // namespace

bool NatsSettings::take(int argc, char* argv[], int& i, std::string& error)
{
    const std::string option = argv[i];
    if (option == "--tls") {
        tls = true;
        return true;
    }
    static const char* const with_value[] = {"--nats",   "--user",     "--password", "--token-file",
                                             "--tls-ca", "--tls-cert", "--tls-key"};
    bool known = false;
    for (const char* name : with_value)
        known = known || option == name;
    if (!known)
        return false;
    if (i + 1 >= argc) {
        error = option;
        return true;
    }
    const std::string value = argv[++i];
    if (option == "--nats") {
        servers = split(value, ',');
        if (servers.empty())
            error = value;
    } else if (option == "--user") {
        user = value;
    } else if (option == "--password") {
        password = value;
    } else if (option == "--token-file") {
        // A token on the command line would show in the process list.
        std::ifstream in(value);
        if (!std::getline(in, token) || token.empty())
            error = value;
    } else if (option == "--tls-ca") {
        tls_ca = value;
    } else if (option == "--tls-cert") {
        tls_cert = value;
    } else {
        tls_key = value;
    }
    return true;
}

natsStatus nats_connect(const NatsSettings& settings, natsConnectionHandler on_reconnected,
                        void* closure, int attempts, natsConnection** connection)
{
    natsOptions* options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    std::vector<const char*> urls;
    for (const std::string& url : settings.servers)
        urls.push_back(url.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetServers(options, urls.data(), int(urls.size()));
    // The servers are tried in the order given, so that a user (or a test)
    // chooses which one a program is on.
    if (s == NATS_OK)
        s = natsOptions_SetNoRandomize(options, true);
    if (s == NATS_OK && !settings.name.empty())
        s = natsOptions_SetName(options, settings.name.c_str());
    if (s == NATS_OK && !settings.user.empty())
        s = natsOptions_SetUserInfo(options, settings.user.c_str(), settings.password.c_str());
    if (s == NATS_OK && !settings.token.empty())
        s = natsOptions_SetToken(options, settings.token.c_str());
    if (s == NATS_OK && settings.tls)
        s = natsOptions_SetSecure(options, true);
    if (s == NATS_OK && !settings.tls_ca.empty())
        s = natsOptions_LoadCATrustedCertificates(options, settings.tls_ca.c_str());
    if (s == NATS_OK && !settings.tls_cert.empty())
        s = natsOptions_LoadCertificatesChain(options, settings.tls_cert.c_str(),
                                              settings.tls_key.c_str());
    if (s == NATS_OK)
        s = natsOptions_SetMaxReconnect(options, -1);
    if (s == NATS_OK)
        s = natsOptions_SetReconnectWait(options, 200);
    // A dead server is noticed within a second or two, not the default two
    // minutes.
    if (s == NATS_OK)
        s = natsOptions_SetPingInterval(options, 500);
    if (s == NATS_OK)
        s = natsOptions_SetMaxPingsOut(options, 3);
    if (s == NATS_OK && on_reconnected)
        s = natsOptions_SetReconnectedCB(options, on_reconnected, closure);
    for (int attempt = 0; s == NATS_OK && (attempts < 0 || attempt < attempts); ++attempt) {
        s = natsConnection_Connect(connection, options);
        if (s == NATS_OK || s == NATS_ILLEGAL_STATE || s == NATS_INVALID_ARG)
            break;
        usleep(200000);
    }
    natsOptions_Destroy(options);
    return s;
}

}  // namespace korv_bridge
