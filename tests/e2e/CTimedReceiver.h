#pragma once

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

// One datagram as it arrived: the kernel's receive time (SO_TIMESTAMPNS,
// nanoseconds of CLOCK_REALTIME) and its bytes.
struct CArrival
{
    int64_t nNanos;
    std::vector<uint8_t> vData;
};

// How evenly datagrams arrived.
struct CPacingFigures
{
    size_t nDatagrams = 0;
    double fMaxGapMs = 0;    // largest gap between two arrivals
    double fMinGapMs = 0;    // smallest gap
    int nLongestBurst = 0;   // most datagrams in a row, each within the burst gap of the last
    int nCloserThanHalf = 0; // gaps under half the spacing
    double fSpacingMs = 0;   // the spacing the figures were judged against
    double fRateBps = 0;     // the rate of the fitted line
    double fSpreadMs = 0;    // largest minus smallest distance from the line
    double fSpreadSdMs = 0;  // standard deviation of that distance
};

// Receives datagrams on 127.0.0.1 on a thread of its own, taking the
// kernel's receive time of each, so that the receiver's own scheduling does
// not count against the sender. The owner opens, starts and stops it; the
// destructor stops and joins the thread.
class CTimedReceiver
{
public:
    ~CTimedReceiver();
    // Binds an ephemeral port with an 8 MB buffer. False on failure.
    bool Open();
    int GetPort() const { return m_nPort; }
    void Start();
    // Waits until nothing arrived for nIdleMs after the first datagram, or
    // nMaxMs passed, then stops. The arrivals are the owner's from then on.
    void StopWhenIdle(int nIdleMs, int nMaxMs);
    void Stop();
    // Datagrams so far, from any thread.
    size_t GetCount() const { return m_nCount.load(); }
    const std::vector<CArrival>& GetArrivals() const { return m_vArrivals; }
    // Every datagram's bytes, back to back.
    std::vector<uint8_t> GetBytes() const;

private:
    void Run();

    int m_nSocket = -1;
    int m_nPort = 0;
    std::vector<CArrival> m_vArrivals;    // receiver thread until stopped
    std::atomic<int64_t> m_nLastNanos{0}; // arrival of the latest datagram; 0 none yet
    std::atomic<size_t> m_nCount{0};      // datagrams received
    std::atomic<bool> m_bStop{false};
    std::thread m_th;
};

// The figures of arrivals against a steady line fitted to time over bytes.
// fSpacingMs 0: the spacing of a full datagram at the fitted rate.
CPacingFigures AnalyzePacing(const std::vector<CArrival>& vArrivals, double fSpacingMs = 0,
                             double fBurstMs = 0.2);
