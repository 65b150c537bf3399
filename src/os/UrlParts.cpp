#include "os/UrlParts.h"

#include <arpa/inet.h>
#include <netdb.h>

namespace os {

bool ParseDecimal(const std::string& sText, int nMin, int nMax, int& nValue)
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

bool ParseIpv4(const std::string& sText, uint32_t& nAddr)
{
    in_addr addr{};
    if (inet_pton(AF_INET, sText.c_str(), &addr) != 1) {
        return false;
    }
    nAddr = addr.s_addr;
    return true;
}

bool ResolveIpv4(const std::string& sHost, uint32_t& nAddr)
{
    if (ParseIpv4(sHost, nAddr)) {
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

bool SplitHostPort(const std::string& sText, std::string& sHost, uint16_t& nPort,
                   std::string& sError)
{
    if (sText.find('[') != std::string::npos) {
        sError = "IPv6 addresses are not supported";
        return false;
    }
    const size_t nColon = sText.rfind(':');
    if (nColon == std::string::npos) {
        sError = "no port (host:port)";
        return false;
    }
    sHost = sText.substr(0, nColon);
    const std::string sPort = sText.substr(nColon + 1);
    int n = 0;
    if (!ParseDecimal(sPort, 1, 65535, n)) {
        sError = "port '" + sPort + "' is not 1 to 65535";
        return false;
    }
    nPort = static_cast<uint16_t>(n);
    return true;
}

bool SplitParams(const std::string& sQuery, UrlParams& vParams, std::string& sError)
{
    vParams.clear();
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
        for (const auto& param : vParams) {
            // Which of the two was meant cannot be known.
            if (param.first == sName) {
                sError = "parameter '" + sName + "' given twice";
                return false;
            }
        }
        vParams.emplace_back(sName, sPair.substr(nEq + 1));
    }
    return true;
}

bool SplitQuery(std::string& sRest, std::string& sQuery, std::string& sError)
{
    sQuery.clear();
    const size_t nQuery = sRest.find('?');
    if (nQuery == std::string::npos) {
        return true;
    }
    sQuery = sRest.substr(nQuery + 1);
    sRest.erase(nQuery);
    if (sQuery.empty()) {
        sError = "empty parameter list after '?'";
        return false;
    }
    return true;
}

} // namespace os
