#include "CPcrRateScanner.h"

#include <cstring>

CPcrRateScanner::Result CPcrRateScanner::Scan(const char* szPath)
{
    ScanSourceRate(szPath, m_scan);
    return m_scan.result;
}

std::string CPcrRateScanner::Describe(Result result, int nErrno)
{
    switch (result) {
    case Result::kOk:
        return "ok";
    case Result::kCannotOpen:
        return std::strerror(nErrno);
    case Result::kReadError:
        return "read error";
    case Result::kEmpty:
        return "empty file, not a transport stream";
    case Result::kNotTransportStream:
        return "not a transport stream (no transport-stream packets found)";
    case Result::kNoUsablePcr:
        return "no usable PCRs, so its bit rate cannot be estimated";
    }
    return "unknown";
}

std::string CPcrRateScanner::Describe(Result result) const
{
    if (result == Result::kNotTransportStream && m_scan.szNoPackets[0] != '\0') {
        return std::string("not a transport stream: ") + m_scan.szNoPackets;
    }
    return Describe(result, m_scan.nErrno);
}
