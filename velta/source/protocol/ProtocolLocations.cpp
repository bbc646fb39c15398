// The process-wide chain of location parsers.
//
// The chain head and the transports' parsers are defined together: in one
// translation unit they are built in the order written (TCP, then UDPG, so
// the chain reads UDPG first), and whatever reaches the chain head through
// the static library also links the parsers in. The head is constant
// initialised, so it is null before any parser's constructor runs.
#include "velta/source/protocol/ProtocolStack.h"
#include "velta/source/protocol/tcp/TcpLocation.h"
#include "velta/source/protocol/udpg/UdpgLocation.h"

ProtocolLocation* ProtocolLocation::m_instance = nullptr;

TcpLocation g_tcp_location;
UdpgLocation g_udpg_location;
