#pragma once

#include <braidmill.h>

#include <atomic>
#include <memory>

// Bytes of one packet as the library hands them to a sink.
inline constexpr int kPacketBytes = 188;

// Stands between the engine and the real sink so that other threads can
// see how far the output got and whether it broke: the progress line, the
// statistics file, the stop message, and the console's watcher, which stops
// the run on a failed write even where the engine does not ask IsBroken.
// The real sink's own state is touched on the output thread only; this
// object publishes it through atomics. Owns the real sink; owned by main.
class CWatchedSink : public COutPutModuleBase
{
public:
    explicit CWatchedSink(std::unique_ptr<COutPutModuleBase> pInner) : m_pInner(std::move(pInner))
    {
    }

    void RenderOnePacket(unsigned char* packet) override;
    void RenderPackets(unsigned char* packets, int nCount) override;
    // Closes the real sink; a failing close counts as a failed write.
    void Destroy() override;
    bool IsBroken() const override { return m_bBroken.load(); }
    int GetWriteIntervalMs() const override { return m_pInner->GetWriteIntervalMs(); }
    int GetPacketsPerUnit() const override { return m_pInner->GetPacketsPerUnit(); }
    int GetCatchUpPercent() const override { return m_pInner->GetCatchUpPercent(); }

    // Packets the real sink took without failing; from any thread.
    long long GetPackets() const { return m_llPackets.load(); }
    // errno of the write that broke the sink (EPIPE: the reader went away); 0 none.
    int GetErrno() const { return m_nErrno.load(); }

private:
    void NoteWritten(int nCount, int nErrno);

    std::unique_ptr<COutPutModuleBase> m_pInner;
    std::atomic<bool> m_bBroken{false};
    std::atomic<long long> m_llPackets{0}; // packets written, whole ones
    std::atomic<int> m_nErrno{0};
};
