// The input module as a whole, with libdvbpsi's PAT/PMT decoding: an
// arbitrary byte stream cut into packets goes through RecvOnePacket, then
// StreamEnd, then out through GetOnePacket/ReleaseBuffer, without pacing and
// with an overflow that never blocks.
//
// Input: byte 0 selects how the module is driven (bit 0: take packets out
// after every packet received, as the mux thread would; bits 1-4: how many
// packets after ready the PID map is written, so that packets leave with the
// null PID before it; bits 5-7 all set: the stream is fed over and over
// until the FIFO has overflowed). The rest is cut into 188-byte packets (a
// short last one is padded with 0xFF). Byte 0 of a packet is forced to the sync byte
// unless it is 0xF0 or above, so that most packets reach the analyzer while
// the input can still lose sync where it likes.
//
// Checks: the module ends ready or, with its stream ended, unable to become
// ready; it hands out exactly the received packets of its programs' PIDs
// (those with a header a receiver can take) (or,
// after an overflow, some of them), in order, unchanged but for the PID (the
// one the map held then, or 0x1FFF) and a discontinuity flag it may add (on
// an adaptation-only packet of its own where a packet has no field for it);
// after the drain it reports the end.
#include "FuzzCheck.h"
#include "braidmill.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

namespace {

constexpr int kFifoPackets = kInputFifoBytes / kTsPacketSize;
constexpr int kQueuePackets = 4095; // the input's queue to the muxer, after its tables' marker
constexpr uint8_t kKeepByte0From = 0xF0;
constexpr int kFloodMode = 7;    // bits 5-7 of the mode byte
constexpr int kFloodExtra = 500; // packets fed beyond the FIFO's size when flooding

// Packets one after the other in one allocation: a flood feeds ten
// thousand of them, and a vector each would cost more than the module.
class CPacketList
{
public:
    void Append(const unsigned char* p) { m_vBytes.insert(m_vBytes.end(), p, p + kTsPacketSize); }
    size_t size() const { return m_vBytes.size() / kTsPacketSize; }
    const unsigned char* operator[](size_t k) const { return &m_vBytes[k * kTsPacketSize]; }
    void Reserve(size_t nPackets) { m_vBytes.reserve(nPackets * kTsPacketSize); }

private:
    std::vector<unsigned char> m_vBytes;
};

int PidOf(const unsigned char* p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

// The program PIDs of a ready input: each PCR PID and stream PID. A PCR_PID
// of 0x1FFF says the program has no PCR, so null packets stay no program's.
std::vector<bool> ProgramPids(CInputModuleIface& input)
{
    std::vector<bool> vUsed(kPidCount, false);
    for (const _PROGRAM_INFO& program : *input.GetDemuxInfo()) {
        FUZZ_CHECK(program.nPcrPid >= 0 && program.nPcrPid < kPidCount);
        FUZZ_CHECK(program.nPmtPid >= 0 && program.nPmtPid < kPidCount);
        if (program.nPcrPid != kPidNull) {
            vUsed[size_t(program.nPcrPid)] = true;
        }
        for (const _ES_INFO& es : program.vecEsInfo) {
            FUZZ_CHECK(es.nPid >= 0 && es.nPid < kPidCount);
            FUZZ_CHECK(es.nStreamType >= 0 && es.nStreamType < 256);
            vUsed[size_t(es.nPid)] = true;
        }
    }
    return vUsed;
}

// Maps every program PID to 0x100 + its index among them, as the engine
// writes the map once every input is ready.
void WritePidMap(CInputModuleIface& input, const std::vector<bool>& vUsed, std::set<int>& outPids)
{
    int* pMap = input.GetPidMapList();
    int nNext = 0x100;
    for (int nPid = 0; nPid < kPidCount; ++nPid) {
        if (vUsed[size_t(nPid)]) {
            pMap[nPid] = nNext & (kPidCount - 1);
            outPids.insert(pMap[nPid]);
            ++nNext;
        }
    }
}

class CHarness
{
public:
    CHarness(bool bDrainAlong, int nMapDelay, size_t nPackets)
        : m_bDrainAlong(bDrainAlong), m_nMapDelay(nMapDelay),
          m_pRecv(new unsigned char[kTsPacketSize])
    {
        m_vFed.Reserve(nPackets);
        m_input.SetSourceAttribute(_SOURCE_ATTRIBUTE{1, 0, 0});
        m_input.SetPrepareType(OVERFLOW_OVERWRITE_OLDEST);
    }

    void Feed(const unsigned char* pPacket)
    {
        // Once the programs are known their tables stay as they are: what a
        // new version does is the engine's tests' concern, and here it would
        // change what the input is to hand out.
        if (m_bReadySeen && m_vTablePids[size_t(PidOf(pPacket))]) {
            return;
        }
        // Received exactly as the source hands it over: 188 bytes of its own.
        std::memcpy(m_pRecv.get(), pPacket, kTsPacketSize);
        m_input.RecvOnePacket(m_pRecv.get(), kTsPacketSize);
        FUZZ_CHECK(std::memcmp(m_pRecv.get(), pPacket, kTsPacketSize) == 0);
        m_vFed.Append(pPacket);
        if (m_input.IsReady()) {
            NoteReady();
            if (!m_bMapWritten && m_nMapDelay-- <= 0) {
                WriteMap();
            }
        }
        if (m_bDrainAlong) {
            Drain();
        }
    }

    void End()
    {
        m_input.StreamEnd();
        const bool bReady = m_input.IsReady();
        FUZZ_CHECK(bReady != m_input.CanNeverBeReady());
        if (!bReady) {
            long long llPts = 0;
            long long llDts = 0;
            int nPcrPid = 0;
            FUZZ_CHECK(m_input.GetOnePacket(llPts, llDts, nPcrPid) == nullptr);
            FUZZ_CHECK(llPts == -1 && llDts == -1 && nPcrPid == -1);
            FUZZ_CHECK(m_input.GetProgramCount() == 0);
            return;
        }
        FUZZ_CHECK(m_input.GetProgramCount() == int(m_input.GetDemuxInfo()->size()));
        NoteReady(); // an input may become ready at its end, with the PMTs it has
        if (!m_bMapWritten) {
            WriteMap();
        }
        Drain();
        FUZZ_CHECK(m_input.IsStreamEnd());
        CheckOutput();
    }

private:
    // Once, when the input first reports ready (while fed, or at its end).
    void NoteReady()
    {
        if (m_bReadySeen) {
            return;
        }
        m_bReadySeen = true;
        m_vUsed = ProgramPids(m_input);
        m_vEs.assign(kPidCount, false);
        m_vTablePids.assign(kPidCount, false);
        m_vTablePids[kPidPat] = m_vTablePids[kPidSdt] = true;
        for (const _PROGRAM_INFO& program : *m_input.GetDemuxInfo()) {
            m_vTablePids[size_t(program.nPmtPid & (kPidCount - 1))] = true;
            for (const _ES_INFO& es : program.vecEsInfo) {
                m_vEs[size_t(es.nPid & (kPidCount - 1))] = true;
            }
        }
    }

    void WriteMap()
    {
        WritePidMap(m_input, m_vUsed, m_outPids);
        m_bMapWritten = true;
    }

    void Drain()
    {
        for (;;) {
            long long llPts = 0;
            long long llDts = 0;
            int nPcrPid = 0;
            unsigned char* pSlot = m_input.GetOnePacket(llPts, llDts, nPcrPid);
            if (pSlot == nullptr) {
                break;
            }
            // More packets out than in would be a loop that never ends.
            FUZZ_CHECK(m_vOut.size() < m_vFed.size());
            FUZZ_CHECK(m_bReadySeen);
            const int nPid = PidOf(pSlot);
            FUZZ_CHECK(nPid == kPidNull || m_outPids.count(nPid) != 0);
            FUZZ_CHECK(nPcrPid == -1 || m_outPids.count(nPcrPid) != 0);
            m_vOut.Append(pSlot);
            m_vOutMapped.push_back(m_bMapWritten);
            m_input.ReleaseBuffer(pSlot);
        }
    }

    // The packets of the programs' PIDs, in the order received; only the
    // PID and the discontinuity flag may differ. When more packets came in
    // than the FIFO holds, the oldest may have been overwritten, so what
    // comes out is then only some of them, still in order.
    void CheckOutput()
    {
        // What the input is to hand out: its programs' packets, each stream
        // from its first unit start on (packets without payload pass).
        std::vector<const unsigned char*> vExpected;
        std::vector<bool> vStarted(kPidCount, false);
        for (size_t k = 0; k < m_vFed.size(); ++k) {
            const unsigned char* in = m_vFed[k];
            const size_t nPid = size_t(PidOf(in));
            if (in[0] != kSyncByte || !m_vUsed[nPid] || IsMalformed(in)) {
                continue;
            }
            if (m_vEs[nPid] && !vStarted[nPid] && (in[3] & 0x10) != 0) {
                if ((in[1] & 0x40) == 0) {
                    continue; // payload in the middle of a unit
                }
                vStarted[nPid] = true;
            }
            vExpected.push_back(in);
        }
        // Nothing may be lost while everything fits the store before ready
        // and the queue after it; beyond that the input drops, counted.
        const bool bAll = m_vFed.size() <= size_t(std::min(kFifoPackets, kQueuePackets));
        size_t nOut = 0;
        size_t nMarks = 0;
        for (size_t k = 0; k < vExpected.size() && nOut < m_vOut.size(); ++k) {
            // A mark stands before a unit start its counter jumps to (some
            // of the unit before it was dropped), with the counter one below.
            while (nOut < m_vOut.size() && IsMark(m_vOut[nOut])) {
                ++nOut;
                ++nMarks;
            }
            if (nOut == m_vOut.size()) {
                break;
            }
            const bool bSame = IsSamePacket(vExpected[k], m_vOut[nOut], m_vOutMapped[nOut]);
            FUZZ_CHECK(bSame || !bAll);
            if (bSame) {
                ++nOut;
            }
        }
        FUZZ_CHECK(nOut == m_vOut.size());
        if (bAll) {
            FUZZ_CHECK(m_vOut.size() == vExpected.size() + nMarks); // nothing left behind
        }
    }

    // A header no receiver can take: dropped by the input.
    static bool IsMalformed(const unsigned char* p)
    {
        const int nAfc = (p[3] >> 4) & 0x3;
        return nAfc == 0 || ((nAfc & 0x2) != 0 && p[4] > kTsPacketSize - 5) ||
               (nAfc == 0x3 && p[4] == kTsPacketSize - 5);
    }

    static bool IsMark(const unsigned char* p)
    {
        return (p[3] & 0x30) == 0x20 && p[4] == kTsPacketSize - 5 &&
               p[5] == kDiscontinuityIndicatorBit &&
               std::all_of(p + 6, p + kTsPacketSize, [](unsigned char b) { return b == 0xFF; });
    }

    bool IsSamePacket(const unsigned char* in, const unsigned char* out, bool bMapped)
    {
        const int nMapped =
            bMapped ? m_input.GetPidMapList()[PidOf(in)] & (kPidCount - 1) : kPidNull;
        const bool bHasAfFlags = (in[3] & 0x20) != 0 && in[4] > 0;
        const uint8_t nFlagMask = bHasAfFlags ? uint8_t(~kDiscontinuityIndicatorBit) : 0xFF;
        return PidOf(out) == nMapped && (out[1] & 0xE0) == (in[1] & 0xE0) && out[0] == in[0] &&
               out[3] == in[3] && out[4] == in[4] && (out[5] & nFlagMask) == (in[5] & nFlagMask) &&
               std::memcmp(out + 6, in + 6, kTsPacketSize - 6) == 0;
    }

    CInputModuleIface m_input;
    const bool m_bDrainAlong;
    int m_nMapDelay; // packets after ready before the map is written
    bool m_bReadySeen = false;
    std::vector<bool> m_vTablePids; // PAT, SDT and PMT PIDs once ready
    std::vector<bool> m_vEs;        // elementary stream PIDs: they start on a unit
    bool m_bMapWritten = false;
    std::vector<bool> m_vUsed;                // per input PID: a program's
    std::set<int> m_outPids;                  // output PIDs written to the map
    std::unique_ptr<unsigned char[]> m_pRecv; // the source's buffer
    CPacketList m_vFed;                       // as received
    CPacketList m_vOut;                       // as handed out
    std::vector<bool> m_vOutMapped;           // per packet out: the map was written by then
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The analyzer reports every table on standard output; libFuzzer writes
    // to standard error.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < 1) {
        return 0;
    }
    const uint8_t nMode = pData[0];
    CPacketList vPackets;
    for (size_t nPos = 1; nPos < nSize; nPos += kTsPacketSize) {
        const size_t nTake = std::min(nSize - nPos, size_t(kTsPacketSize));
        unsigned char vPacket[kTsPacketSize];
        std::memset(vPacket, 0xFF, sizeof vPacket);
        std::memcpy(vPacket, pData + nPos, nTake);
        if (vPacket[0] < kKeepByte0From) {
            vPacket[0] = kSyncByte;
        }
        vPackets.Append(vPacket);
    }
    // Flooding repeats the stream until the FIFO has overflowed.
    const bool bFlood = (nMode >> 5) == kFloodMode && vPackets.size() > 0;
    const size_t nFeed = bFlood ? size_t(kFifoPackets + kFloodExtra) : vPackets.size();
    CHarness harness((nMode & 0x01) != 0, (nMode >> 1) & 0x0F, nFeed);
    for (size_t k = 0; k < nFeed; ++k) {
        harness.Feed(vPackets[k % vPackets.size()]);
    }
    harness.End();
    return 0;
}
