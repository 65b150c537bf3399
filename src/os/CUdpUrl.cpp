// Parsing of network input and output names. Everything is checked here, at
// open time, so that a run never starts on a name that means something else
// than the user typed: unknown parameters and out-of-range values are
// refused, never ignored or clamped.
#include "os/CUdpUrl.h"

#include <arpa/inet.h>
#include <cstring>
#include <netdb.h>

namespace os {

namespace {

bool ParseNumeric(const std::string& sText, uint32_t& nAddr)
{
    in_addr addr{};
    if (inet_pton(AF_INET, sText.c_str(), &addr) != 1) {
        return false;
    }
    nAddr = addr.s_addr;
    return true;
}

// Numeric first, so that a dotted quad never waits for a resolver.
bool Resolve(const std::string& sHost, uint32_t& nAddr)
{
    if (ParseNumeric(sHost, nAddr)) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* pResult = nullptr;
    if (getaddrinfo(sHost.c_str(), nullptr, &hints, &pResult) != 0 || pResult == nullptr) {
        return false;
    }
    nAddr = reinterpret_cast<const sockaddr_in*>(pResult->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(pResult);
    return true;
}

// Digits only, nMin..nMax; no sign, no spaces, no trailing text.
bool ParseInt(const std::string& sText, int nMin, int nMax, int& nValue)
{
    if (sText.empty() || sText.size() > 6) {
        return false;
    }
    int n = 0;
    for (char c : sText) {
        if (c < '0' || c > '9') {
            return false;
        }
        n = n * 10 + (c - '0');
    }
    if (n < nMin || n > nMax) {
        return false;
    }
    nValue = n;
    return true;
}

bool ParseQuery(const std::string& sQuery, EUdpRole role, UdpUrl& url, std::string& sError)
{
    bool bTtl = false;
    bool bLocal = false;
    bool bPkts = false;
    size_t nPos = 0;
    while (nPos <= sQuery.size()) {
        size_t nEnd = sQuery.find('&', nPos);
        if (nEnd == std::string::npos) {
            nEnd = sQuery.size();
        }
        const std::string sPair = sQuery.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        const size_t nEq = sPair.find('=');
        if (nEq == std::string::npos || nEq == 0) {
            sError = "parameter '" + sPair + "' is not of the form name=value";
            return false;
        }
        const std::string sName = sPair.substr(0, nEq);
        const std::string sValue = sPair.substr(nEq + 1);
        bool* pSeen = nullptr;
        if (sName == "localaddr") {
            pSeen = &bLocal;
            if (!ParseNumeric(sValue, url.nLocalAddr)) {
                sError = "localaddr=" + sValue + " is not an IPv4 address";
                return false;
            }
        } else if (sName == "ttl" || sName == "pkts") {
            if (role == EUdpRole::kInput) {
                sError = "parameter '" + sName + "' applies to outputs only";
                return false;
            }
            if (sName == "ttl") {
                pSeen = &bTtl;
                if (!ParseInt(sValue, 0, 255, url.nTtl)) {
                    sError = "ttl=" + sValue + " is not a TTL (0 to 255)";
                    return false;
                }
            } else {
                pSeen = &bPkts;
                if (!ParseInt(sValue, 1, kUdpMaxPacketsPerDatagram, url.nPackets)) {
                    sError = "pkts=" + sValue +
                             " is not 1 to 7 packets per datagram (7 fill a 1500-byte MTU)";
                    return false;
                }
            }
        } else {
            sError = "unknown parameter '" + sName + "'";
            return false;
        }
        if (*pSeen) {
            sError = "parameter '" + sName + "' given twice";
            return false;
        }
        *pSeen = true;
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

    const size_t nQuery = sRest.find('?');
    std::string sQuery;
    if (nQuery != std::string::npos) {
        sQuery = sRest.substr(nQuery + 1);
        sRest.erase(nQuery);
        if (sQuery.empty()) {
            sError = "empty parameter list after '?'";
            return false;
        }
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
    if (sRest.find('[') != std::string::npos) {
        sError = "IPv6 addresses are not supported";
        return false;
    }
    const size_t nColon = sRest.rfind(':');
    if (nColon == std::string::npos) {
        sError = "no port (host:port)";
        return false;
    }
    const std::string sHost = sRest.substr(0, nColon);
    const std::string sPort = sRest.substr(nColon + 1);
    int nPort = 0;
    if (!ParseInt(sPort, 1, 65535, nPort)) {
        sError = "port '" + sPort + "' is not 1 to 65535";
        return false;
    }
    url.nPort = static_cast<uint16_t>(nPort);
    if (sHost.empty()) {
        if (role == EUdpRole::kOutput) {
            sError = "no destination host";
            return false;
        }
    } else if (sHost.find(':') != std::string::npos || !Resolve(sHost, url.nHost)) {
        sError = "host '" + sHost + "' is not an IPv4 address or a known name";
        return false;
    }
    if (!sSource.empty()) {
        if (!ParseNumeric(sSource, url.nSource)) {
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
