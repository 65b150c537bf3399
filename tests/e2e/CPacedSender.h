#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

// Sends a TS file to 127.0.0.1 over UDP the way a live encoder would: 7
// packets per datagram, each datagram when the steady clock reaches the time
// of its first packet (interpolated by position between the PCRs of the
// file's first PCR PID), those times scaled by fClockScale: 1 - 50e-6 is a
// sender whose clock runs 50 ppm fast. Runs on a thread of its own; the
// destructor stops and joins it.
class CPacedSender
{
public:
    ~CPacedSender() { Stop(); }

    // Reads the file and times its packets. False without packets or PCRs.
    bool Load(const std::string& sPath);
    // Records the send time of every packet of nPid (before Start).
    void TracePid(int nPid) { m_nTracePid = nPid; }
    // Sends every datagram to this port of 127.0.0.1 as well, right after
    // (before Start): a tap that sees what the receiver gets, when it does.
    void AddCopyPort(int nPort) { m_vCopyPorts.push_back(nPort); }
    // Starts sending after fDelaySeconds; nPause packets into the file, a
    // silence of fPauseSeconds (the file's times move on behind it).
    bool Start(int nPort, double fClockScale, double fDelaySeconds = 0, int64_t nPausePacket = -1,
               double fPauseSeconds = 0);
    // The same into a descriptor it then owns (a FIFO's writing end): closed
    // at the end, so that its reader sees the end.
    void StartFd(int nFd, double fDelaySeconds = 0, int64_t nPausePacket = -1,
                 double fPauseSeconds = 0);
    void Join();
    void Stop();

    int64_t GetPacketCount() const { return int64_t(m_vTimes.size()); }
    double GetSeconds() const; // the file's span of PCR time
    // Steady-clock microseconds of every traced packet sent, in order.
    const std::vector<int64_t>& GetTrace() const { return m_vTrace; }

private:
    void Run(int nFd, double fClockScale, double fDelaySeconds, int64_t nPausePacket,
             double fPauseSeconds);

    std::vector<uint8_t> m_vData;  // the file's 188-byte packets
    std::vector<double> m_vTimes;  // per packet: seconds after the first
    int m_nTracePid = -1;
    std::vector<int> m_vCopyPorts;
    std::vector<int64_t> m_vTrace; // sender thread until joined
    std::thread m_th;
    std::atomic<bool> m_bStop{false};
};
