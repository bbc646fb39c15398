#include "velta/source/protocol/udpg/UdpgLocation.h"

#include <cerrno>
#include <cstring>

#include "velta/source/protocol/LocationTokenizer.h"
#include "velta/source/protocol/udpg/UdpgProtocolKey.h"

namespace {

// An absent or empty optional address is 0.0.0.0.
bool parse_optional_host(const char* token, in_addr& addr)
{
    if (token == nullptr || *token == '\0') {
        addr.s_addr = INADDR_ANY;
        return true;
    }
    return parse_location_host(token, addr);
}

}  // namespace

int location_to_addr(sockaddr_in& group, in_addr& if_addr, in_addr& source, const char* scheme,
                     const char* location)
{
    LocationTokenizer tokens(location);
    const char* token = tokens.next(":");
    if (token == nullptr || strcmp(token, scheme) != 0)
        return -EFAULT;
    if (!tokens.skip("//"))
        return -EBADF;
    in_addr group_host;
    unsigned short port;
    if (!parse_location_host(tokens.next(":"), group_host) ||
        !parse_location_port(tokens.next("@#"), port))
        return -EBADF;
    // The selector may be left out while a source is given ("port#source").
    const char* selector = tokens.delimiter() == '@' ? tokens.next("#") : nullptr;
    if (!parse_optional_host(selector, if_addr) || !parse_optional_host(tokens.next(""), source))
        return -EBADF;
    memset(&group, 0, sizeof(group));
    group.sin_family = AF_INET;
    group.sin_addr = group_host;
    group.sin_port = htons(port);
    return 0;
}

namespace {

// -EFAULT when the location is not a udpg one.
int push_group_key(ProtocolStackKey& key, const char* location)
{
    sockaddr_in group;
    in_addr if_addr;
    in_addr source;
    int result = location_to_addr(group, if_addr, source, UDPG_PROTOCOL_NAME, location);
    if (result == -EFAULT)
        return result;
    if (result != 0)
        return ProtocolLocation::report_bad_location(location, result);
    return key.push(UdpgProtocolKey(group, if_addr, source));
}

}  // namespace

int UdpgLocation::push_server(ProtocolStackKey& key, const char* location)
{
    int result = push_group_key(key, location);
    return result == -EFAULT ? ProtocolLocation::push_server(key, location) : result;
}

int UdpgLocation::push_client(ProtocolStackKey& key, const char* location)
{
    int result = push_group_key(key, location);
    return result == -EFAULT ? ProtocolLocation::push_client(key, location) : result;
}
