#pragma once

#include <cstdint>
#include <string>

// Estimates a TS file's bit rate from the PCRs of a longer stretch than the
// library's estimate looks at, for streams that estimate refuses (fast
// multiplexes, streams that open with a discontinuity). It finds the packets
// and counts the regular PCR steps by the library's rules (FindTsLayout,
// CPcrStepRate). Used once per input on the main thread, before any reader
// starts.
class CPcrRateScanner
{
public:
    enum class Result {
        Ok,
        CannotOpen, // errno says why
        ReadError,
        Empty,
        NotTransportStream, // no packets among the first bytes
        NoUsablePcr,        // no regular PCR step on any PID
    };

    // Reads until the estimate is settled, or kEnoughPcrSeconds of PCR time
    // are measured, or to the end of the file.
    Result Scan(const char* szPath);

    int GetBitRate() const { return m_nBitRate; }            // bit/s of 188-byte packets
    double GetMeasuredSeconds() const { return m_fSeconds; } // PCR time used
    int GetPcrPid() const { return m_nPcrPid; }
    int GetPacketSize() const { return m_nPacketSize; } // 188, 192 or 204; -1 none found
    int GetErrno() const { return m_nErrno; }
    long long GetBytesRead() const { return m_llBytesRead; }

    static std::string Describe(Result result, int nErrno);
    // As above, naming what the file starts with when it holds no packets.
    std::string Describe(Result result) const;

private:
    int m_nBitRate = -1;
    double m_fSeconds = 0;
    int m_nPcrPid = -1;
    int m_nPacketSize = -1;
    int m_nErrno = 0;
    long long m_llBytesRead = 0;
    std::string m_sNoPackets; // DescribeNoPackets of the file start
};
