#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The pieces every network name is made of (host:port, name=value
// parameters, numbers, IPv4 addresses), shared by the udp://, rtp:// and
// srt:// parsers so that they accept and refuse alike.
namespace os {

// Digits only, nMin..nMax; no sign, no spaces, no trailing text.
bool ParseDecimal(const std::string& sText, int nMin, int nMax, int& nValue);

// A dotted quad, network byte order.
bool ParseIpv4(const std::string& sText, uint32_t& nAddr);

// A dotted quad or a host name (IPv4), network byte order. Numeric first,
// so that a dotted quad never waits for a resolver.
bool ResolveIpv4(const std::string& sHost, uint32_t& nAddr);

// Splits "host:port" at its last colon; the host may be empty. False with
// the reason when there is no port, it is not 1 to 65535, or the host is an
// IPv6 literal.
bool SplitHostPort(const std::string& sText, std::string& sHost, uint16_t& nPort,
                   std::string& sError);

// The parameters of "name=value&name=value", in order. False with the
// reason for a pair without a name or '='.
using UrlParams = std::vector<std::pair<std::string, std::string>>;
bool SplitParams(const std::string& sQuery, UrlParams& vParams, std::string& sError);

// Splits "rest?query" off at its first '?'; false for a '?' with nothing after it.
bool SplitQuery(std::string& sRest, std::string& sQuery, std::string& sError);

} // namespace os
