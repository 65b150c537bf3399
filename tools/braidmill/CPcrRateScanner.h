#pragma once

#include <cstdint>
#include <string>

// Estimates a TS file's bit rate from the PCRs of a longer stretch than the
// library's estimate looks at, for streams that estimate refuses (fast
// multiplexes, streams that open with a discontinuity). Used once per input
// on the main thread, before any reader starts.
class CPcrRateScanner
{
public:
    enum class Result {
        Ok,
        CannotOpen, // errno says why
        ReadError,
        Empty,
        NotTransportStream, // no packet starts with the sync byte
        NoUsablePcr,        // no two consecutive, sane PCRs on any PID
    };

    // Scans until kEnoughPcrSeconds of PCR time are measured, or to the end
    // of the file.
    Result Scan(const char* szPath);

    int GetBitRate() const { return m_nBitRate; }            // bit/s
    double GetMeasuredSeconds() const { return m_fSeconds; } // PCR time used
    int GetPcrPid() const { return m_nPcrPid; }
    int GetErrno() const { return m_nErrno; }

    static std::string Describe(Result result, int nErrno);

private:
    int m_nBitRate = -1;
    double m_fSeconds = 0;
    int m_nPcrPid = -1;
    int m_nErrno = 0;
};
