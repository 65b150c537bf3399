#pragma once

#include <braidmill.h>

#include <string>

// The console's view of a file's rate scan (ScanSourceRate): the figure the
// output is sized from and, where there is none, why in words. Used once per
// input on the main thread, before any reader starts.
class CPcrRateScanner
{
public:
    using Result = BraidmillRateScan::EResult;

    Result Scan(const char* szPath);

    int GetBitRate() const { return m_scan.nBitRate; }            // bit/s of 188-byte packets
    double GetMeasuredSeconds() const { return m_scan.fSeconds; } // PCR time used
    int GetPcrPid() const { return m_scan.nPcrPid; }
    int GetPacketSize() const { return m_scan.nPacketSize; } // 188, 192 or 204; -1 none found
    bool IsFromStart() const { return m_scan.bFromStart; }   // the library's GetSourceRate figure
    int GetErrno() const { return m_scan.nErrno; }

    static std::string Describe(Result result, int nErrno);
    // As above, naming what the file starts with when it holds no packets.
    std::string Describe(Result result) const;

private:
    BraidmillRateScan m_scan;
};
