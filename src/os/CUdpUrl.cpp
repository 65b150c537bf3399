// Parsing of network input and output names. Everything is checked here, at
// open time, so that a run never starts on a name that means something else
// than the user typed: unknown parameters and out-of-range values are
// refused, never ignored or clamped.
#include "os/CUdpUrl.h"

#include "os/UrlParts.h"

#include <arpa/inet.h>

namespace os {

namespace {

bool ParseQuery(const std::string& sQuery, EUdpRole role, UdpUrl& url, std::string& sError)
{
    UrlParams vParams;
    if (!SplitParams(sQuery, vParams, sError)) {
        return false;
    }
    for (const auto& [sName, sValue] : vParams) {
        if (sName == "localaddr") {
            if (!ParseIpv4(sValue, url.nLocalAddr)) {
                sError = "localaddr=" + sValue + " is not an IPv4 address";
                return false;
            }
        } else if (sName == "ttl" || sName == "pkts") {
            if (role == EUdpRole::kInput) {
                sError = "parameter '" + sName + "' applies to outputs only";
                return false;
            }
            if (sName == "ttl") {
                if (!ParseDecimal(sValue, 0, 255, url.nTtl)) {
                    sError = "ttl=" + sValue + " is not a TTL (0 to 255)";
                    return false;
                }
            } else if (!ParseDecimal(sValue, 1, kUdpMaxPacketsPerDatagram, url.nPackets)) {
                sError = "pkts=" + sValue +
                         " is not 1 to 7 packets per datagram (7 fill a 1500-byte MTU)";
                return false;
            }
        } else {
            sError = "unknown parameter '" + sName + "'";
            return false;
        }
    }
    return true;
}

} // namespace

bool IsMulticast(uint32_t nAddr)
{
    return (ntohl(nAddr) >> 28) == 0xE;
}

std::string FormatAddress(uint32_t nAddr)
{
    char szBuf[INET_ADDRSTRLEN] = {};
    in_addr addr{};
    addr.s_addr = nAddr;
    inet_ntop(AF_INET, &addr, szBuf, sizeof(szBuf));
    return szBuf;
}

bool ParseUdpUrl(const char* szUrl, EUdpRole role, UdpUrl& url, std::string& sError)
{
    url = UdpUrl{};
    if (szUrl == nullptr) {
        sError = "no address given";
        return false;
    }
    std::string sRest(szUrl);
    if (sRest.compare(0, 6, "udp://") == 0) {
        url.bRtp = false;
    } else if (sRest.compare(0, 6, "rtp://") == 0) {
        url.bRtp = true;
    } else {
        sError = "not a udp:// or rtp:// address";
        return false;
    }
    sRest.erase(0, 6);

    std::string sQuery;
    if (!SplitQuery(sRest, sQuery, sError)) {
        return false;
    }

    std::string sSource;
    const size_t nAt = sRest.find('@');
    if (nAt != std::string::npos) {
        if (role == EUdpRole::kOutput) {
            sError = "a source address (source@) applies to inputs only";
            return false;
        }
        sSource = sRest.substr(0, nAt); // empty: "@group:port", any sender
        sRest.erase(0, nAt + 1);
    }
    std::string sHost;
    if (!SplitHostPort(sRest, sHost, url.nPort, sError)) {
        return false;
    }
    if (sHost.empty()) {
        if (role == EUdpRole::kOutput) {
            sError = "no destination host";
            return false;
        }
    } else if (sHost.find(':') != std::string::npos || !ResolveIpv4(sHost, url.nHost)) {
        sError = "host '" + sHost + "' is not an IPv4 address or a known name";
        return false;
    }
    if (!sSource.empty()) {
        if (!ParseIpv4(sSource, url.nSource)) {
            sError = "source '" + sSource + "' is not an IPv4 address";
            return false;
        }
        if (!IsMulticast(url.nHost)) {
            sError = "a source address needs a multicast group, not " + sHost;
            return false;
        }
    }
    if (!sQuery.empty() && !ParseQuery(sQuery, role, url, sError)) {
        return false;
    }
    if (role == EUdpRole::kInput && url.nLocalAddr != 0 && !IsMulticast(url.nHost)) {
        sError = "localaddr picks the interface of a multicast group; " +
                 (sHost.empty() ? std::string("none") : sHost) + " is not one";
        return false;
    }
    return true;
}

} // namespace os
