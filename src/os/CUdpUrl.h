#pragma once

#include <cstdint>
#include <string>

#include "ts/TsConstants.h"

namespace os {

// What a udp:// or rtp:// name asks for, addresses resolved (IPv4, network
// byte order).
struct UdpUrl
{
    bool bRtp = false;
    uint32_t nHost = 0;       // group, unicast address, or destination; 0: any (input)
    uint16_t nPort = 0;       // host byte order
    uint32_t nSource = 0;     // the one sender of a source-specific group; 0: any
    uint32_t nLocalAddr = 0;  // interface address; 0: the system's choice
    int nTtl = -1;            // multicast/unicast TTL of an output; -1: system default
    int nPackets = kUdpMaxPacketsPerDatagram; // TS packets per datagram of an output
};

enum class EUdpRole { kInput, kOutput };

// Parses udp://[source@]host:port[?localaddr=IP] (input) or
// udp://host:port[?ttl=N&localaddr=IP&pkts=N] (output), rtp:// alike. False
// with a one-line reason naming the offending part; the console shows it as
// it stands. Host names are resolved; the other addresses must be numeric.
bool ParseUdpUrl(const char* szUrl, EUdpRole role, UdpUrl& url, std::string& sError);

// True for 224.0.0.0/4 (network byte order).
bool IsMulticast(uint32_t nAddr);

// Dotted quad of an address (network byte order), for log lines.
std::string FormatAddress(uint32_t nAddr);

} // namespace os
