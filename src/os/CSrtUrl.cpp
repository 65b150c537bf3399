// Parsing of srt:// names. As for udp://, everything is checked at open
// time and nothing is clamped: a link that would quietly run unencrypted or
// with another latency than asked is worse than one refused.
#include "os/CSrtUrl.h"

#include "os/CUdpUrl.h"
#include "os/UrlParts.h"

namespace os {

namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// %XX escapes to bytes; false for a '%' not followed by two hex digits.
bool Unescape(const std::string& sText, std::string& sOut)
{
    sOut.clear();
    for (size_t i = 0; i < sText.size(); ++i) {
        if (sText[i] != '%') {
            sOut += sText[i];
            continue;
        }
        const int nHigh = i + 2 < sText.size() ? HexDigit(sText[i + 1]) : -1;
        const int nLow = nHigh >= 0 ? HexDigit(sText[i + 2]) : -1;
        if (nLow < 0) {
            return false;
        }
        sOut += char(nHigh * 16 + nLow);
        i += 2;
    }
    return true;
}

bool ParseParam(const std::string& sName, const std::string& sValue, SrtUrl& url,
                std::string& sError)
{
    if (sName == "mode") {
        if (sValue == "caller") {
            url.mode = ESrtMode::kCaller;
        } else if (sValue == "listener") {
            url.mode = ESrtMode::kListener;
        } else if (sValue == "rendezvous") {
            url.mode = ESrtMode::kRendezvous;
        } else {
            sError = "mode=" + sValue + " is not caller, listener or rendezvous";
            return false;
        }
    } else if (sName == "latency") {
        if (!ParseDecimal(sValue, 0, kSrtMaxLatencyMs, url.nLatencyMs)) {
            sError =
                "latency=" + sValue + " is not 0 to " + std::to_string(kSrtMaxLatencyMs) + " ms";
            return false;
        }
    } else if (sName == "passphrase") {
        if (!Unescape(sValue, url.sPassphrase)) {
            sError = "passphrase has a '%' that is not %XX";
            return false;
        }
        const int nLen = int(url.sPassphrase.size());
        if (nLen < kSrtMinPassphrase || nLen > kSrtMaxPassphrase) {
            sError = "passphrase of " + std::to_string(nLen) + " characters is not " +
                     std::to_string(kSrtMinPassphrase) + " to " +
                     std::to_string(kSrtMaxPassphrase) + " characters";
            return false;
        }
    } else if (sName == "pbkeylen") {
        int n = -1;
        if (!ParseDecimal(sValue, 0, 32, n) || (n != 0 && n != 16 && n != 24 && n != 32)) {
            sError = "pbkeylen=" + sValue + " is not 0, 16, 24 or 32 (bytes of AES key)";
            return false;
        }
        url.nKeyBytes = n;
    } else if (sName == "streamid") {
        if (!Unescape(sValue, url.sStreamId)) {
            sError = "streamid=" + sValue + " has a '%' that is not %XX";
            return false;
        }
        if (url.sStreamId.size() > size_t(kSrtMaxStreamId)) {
            sError = "streamid of " + std::to_string(url.sStreamId.size()) +
                     " bytes is longer than " + std::to_string(kSrtMaxStreamId);
            return false;
        }
    } else if (sName == "localport") {
        int n = 0;
        if (!ParseDecimal(sValue, 1, 65535, n)) {
            sError = "localport=" + sValue + " is not 1 to 65535";
            return false;
        }
        url.nLocalPort = uint16_t(n);
    } else {
        sError = "unknown parameter '" + sName + "'";
        return false;
    }
    return true;
}

} // namespace

bool ParseSrtUrl(const char* szUrl, SrtUrl& url, std::string& sError)
{
    url = SrtUrl{};
    if (szUrl == nullptr) {
        sError = "no address given";
        return false;
    }
    std::string sRest(szUrl);
    if (sRest.compare(0, 6, "srt://") != 0) {
        sError = "not an srt:// address";
        return false;
    }
    sRest.erase(0, 6);
    std::string sQuery;
    if (!SplitQuery(sRest, sQuery, sError)) {
        return false;
    }
    std::string sHost;
    if (!SplitHostPort(sRest, sHost, url.nPort, sError)) {
        return false;
    }
    if (!sHost.empty() &&
        (sHost.find(':') != std::string::npos || !ResolveIpv4(sHost, url.nHost))) {
        sError = "host '" + sHost + "' is not an IPv4 address or a known name";
        return false;
    }
    if (IsMulticast(url.nHost)) {
        sError = "host " + sHost + " is a multicast group; SRT connects two hosts";
        return false;
    }
    url.mode = sHost.empty() ? ESrtMode::kListener : ESrtMode::kCaller;
    UrlParams vParams;
    if (!sQuery.empty() && !SplitParams(sQuery, vParams, sError)) {
        return false;
    }
    for (const auto& [sName, sValue] : vParams) {
        if (!ParseParam(sName, sValue, url, sError)) {
            return false;
        }
    }
    const char* szMode = url.mode == ESrtMode::kCaller ? "caller" : "rendezvous";
    if (url.mode != ESrtMode::kListener && sHost.empty()) {
        sError = std::string("mode ") + szMode + " needs the peer's host (srt://host:port)";
        return false;
    }
    if (url.mode == ESrtMode::kListener && url.nLocalPort != 0) {
        sError = "localport applies to caller and rendezvous; a listener listens on :" +
                 std::to_string(url.nPort);
        return false;
    }
    if (url.nKeyBytes != 0 && url.sPassphrase.empty()) {
        sError = "pbkeylen=" + std::to_string(url.nKeyBytes) + " without a passphrase";
        return false;
    }
    if (url.mode == ESrtMode::kRendezvous && url.nLocalPort == 0) {
        url.nLocalPort = url.nPort; // both ends of a rendezvous use one port by convention
    }
    return true;
}

std::string HidePassphrase(const std::string& sUrl)
{
    const size_t nQuery = sUrl.find('?');
    if (nQuery == std::string::npos) {
        return sUrl;
    }
    std::string sOut = sUrl.substr(0, nQuery + 1);
    size_t nPos = nQuery + 1;
    while (nPos <= sUrl.size()) {
        size_t nEnd = sUrl.find('&', nPos);
        if (nEnd == std::string::npos) {
            nEnd = sUrl.size();
        }
        std::string sPair = sUrl.substr(nPos, nEnd - nPos);
        if (sPair.compare(0, 11, "passphrase=") == 0) {
            sPair = "passphrase=***";
        }
        sOut += sPair;
        if (nEnd < sUrl.size()) {
            sOut += '&';
        }
        nPos = nEnd + 1;
    }
    return sOut;
}

} // namespace os
