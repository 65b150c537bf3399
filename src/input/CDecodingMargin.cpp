#include "input/CDecodingMargin.h"

#include "ts/PcrMath.h"
#include "ts/TsConstants.h"

#include <algorithm>

namespace {

constexpr int kPidMask = kPidCount - 1;
// A PID's rate is taken from two PCRs at most this far apart: across a
// longer gap (or a new time base) the step says nothing about the rate.
constexpr int64_t kMaxRateStepTicks = kPcrHz / 2;

// PES stream_ids without the optional header that carries the time stamps.
bool HasPesHeader(uint8_t nStreamId)
{
    return nStreamId != 0xBC && nStreamId != 0xBE && nStreamId != 0xBF && nStreamId != 0xF0 &&
           nStreamId != 0xF1 && nStreamId != 0xF2 && nStreamId != 0xF8 && nStreamId != 0xFF;
}

int64_t ReadTimestamp(const uint8_t* p)
{
    return (int64_t(p[0] & 0x0E) << 29) | (int64_t(p[1]) << 22) | (int64_t(p[2] & 0xFE) << 14) |
           (int64_t(p[3]) << 7) | (p[4] >> 1);
}

} // namespace

CDecodingMargin::CDecodingMargin() : m_vProgramOf(kPidCount, -1), m_vClockOf(kPidCount, -1) {}

void CDecodingMargin::SetPrograms(const std::vector<_PROGRAM_INFO>& vPrograms)
{
    std::fill(m_vProgramOf.begin(), m_vProgramOf.end(), int16_t(-1));
    m_vPids.clear();
    for (const _PROGRAM_INFO& program : vPrograms) {
        if (m_vPids.size() >= size_t(INT16_MAX)) {
            break;
        }
        const int16_t nIndex = int16_t(m_vPids.size());
        std::vector<int> vPids;
        const int nPcrPid = program.nPcrPid & kPidMask;
        if (nPcrPid != kPidNull) {
            vPids.push_back(nPcrPid);
        }
        for (const _ES_INFO& es : program.vecEsInfo) {
            vPids.push_back(es.nPid & kPidMask);
        }
        for (int nPid : vPids) {
            // A PID two programs share belongs to the first.
            if (m_vProgramOf[size_t(nPid)] < 0) {
                m_vProgramOf[size_t(nPid)] = nIndex;
            }
        }
        m_vPids.push_back(std::move(vPids));
    }
}

CDecodingMargin::CClock* CDecodingMargin::ClockOf(int nPid, bool bCreate)
{
    int16_t& nIndex = m_vClockOf[size_t(nPid)];
    if (nIndex < 0) {
        if (!bCreate || m_vClocks.size() >= size_t(INT16_MAX)) {
            return nullptr;
        }
        nIndex = int16_t(m_vClocks.size());
        m_vClocks.emplace_back();
        m_vClocks.back().nPid = nPid;
    }
    return &m_vClocks[size_t(nIndex)];
}

int32_t CDecodingMargin::Look(const uint8_t* pData, int nPid, int64_t nPcr, int64_t nPos)
{
    nPid &= kPidMask;
    if (nPcr >= 0) {
        CClock& clock = *ClockOf(nPid, true);
        if (clock.nPcr >= 0 && nPos > clock.nPos) {
            const int64_t nStep = PcrForwardDelta(clock.nPcr, nPcr);
            clock.fTicksPerPacket =
                nStep <= kMaxRateStepTicks ? double(nStep) / double(nPos - clock.nPos) : 0.0;
        }
        clock.nPcr = nPcr;
        clock.nPos = nPos;
    }
    const int nProgram = m_vProgramOf[size_t(nPid)];
    if (nProgram < 0 || (pData[1] & 0x40) == 0) {
        return kNone;
    }
    const int64_t nPts = PesTime(pData);
    if (nPts < 0) {
        return kNone;
    }
    // The program's clock: the PID of it that carried a PCR last.
    const CClock* pClock = nullptr;
    for (int nOther : m_vPids[size_t(nProgram)]) {
        const CClock* p = ClockOf(nOther, false);
        if (p != nullptr && (pClock == nullptr || p->nPos > pClock->nPos)) {
            pClock = p;
        }
    }
    if (pClock == nullptr) {
        return kNone;
    }
    const int64_t nPcrHere =
        PcrAdd(pClock->nPcr, int64_t(double(nPos - pClock->nPos) * pClock->fTicksPerPacket));
    // Signed distance on the 33-bit circle.
    int64_t nMargin = PcrForwardDelta(nPcrHere, nPts * kPcrPerPts);
    if (nMargin > kPcrModulo / 2) {
        nMargin -= kPcrModulo;
    }
    if (nMargin > kMaxMarginTicks || nMargin < -kMaxMarginTicks) {
        return kNone;
    }
    return int32_t(nMargin / kPcrPerPts);
}

int64_t CDecodingMargin::PesTime(const uint8_t* pData)
{
    // A scrambled payload has no header to read: what looks like one is chance.
    if (pData[0] != kSyncByte || (pData[1] & 0x40) == 0 || (pData[3] & 0x10) == 0 ||
        (pData[3] & 0xC0) != 0) {
        return -1;
    }
    int nAt = 4;
    if ((pData[3] & 0x20) != 0) {
        nAt += 1 + pData[4];
    }
    // start code, stream_id, length, two flag bytes, header length, PTS.
    if (nAt + 14 > kTsPacketSize || pData[nAt] != 0 || pData[nAt + 1] != 0 ||
        pData[nAt + 2] != 1 || !HasPesHeader(pData[nAt + 3]) || (pData[nAt + 6] & 0xC0) != 0x80) {
        return -1;
    }
    const uint8_t nFlags = pData[nAt + 7] >> 6;
    if (nFlags == 3 && nAt + 19 <= kTsPacketSize) {
        return ReadTimestamp(pData + nAt + 14); // the DTS
    }
    return nFlags >= 2 ? ReadTimestamp(pData + nAt + 9) : -1;
}
