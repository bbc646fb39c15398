#include "velta/source/protocol/tcp/TcpLocation.h"

#include <cerrno>

#include "velta/source/protocol/tcp/TcpProtocolKey.h"

int TcpLocation::push_server(ProtocolStackKey& key, const char* location)
{
    sockaddr_in addr;
    int result = sock_location_to_addr(addr, TCP_PROTOCOL_NAME, location);
    if (result == -EFAULT)
        return ProtocolLocation::push_server(key, location);
    if (result != 0)
        return report_bad_location(location, result);
    return key.push(TcpProtocolKey(TcpProtocolKey::make_addr(addr), 0));
}

int TcpLocation::push_client(ProtocolStackKey& key, const char* location)
{
    sockaddr_in addr;
    int result = sock_location_to_addr(addr, TCP_PROTOCOL_NAME, location);
    if (result == -EFAULT)
        return ProtocolLocation::push_client(key, location);
    if (result != 0)
        return report_bad_location(location, result);
    return key.push(TcpProtocolKey(0, TcpProtocolKey::make_addr(addr)));
}
