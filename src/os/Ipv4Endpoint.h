#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace os {

// The socket address of an IPv4 address (network byte order) and a port
// (host order), for the UDP and SRT sockets alike.
inline sockaddr_in Ipv4Endpoint(uint32_t nAddr, uint16_t nPort)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = nAddr;
    sa.sin_port = htons(nPort);
    return sa;
}

} // namespace os
