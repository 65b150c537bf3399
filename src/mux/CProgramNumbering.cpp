#include "mux/CProgramNumbering.h"

#include "log/CLogger.h"
#include "mux/PmtDescriptors.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <climits>

namespace {

bool IsPid(int nPid)
{
    return nPid >= 0 && nPid < kPidCount;
}

} // namespace

bool CProgramNumbering::Ask(int nInput, int nInNumber, int nOut)
{
    const std::pair<int, int> key{nInput, nInNumber};
    for (const auto& entry : m_asked) {
        if (entry.second == nOut && entry.first != key) {
            return false;
        }
    }
    if (std::any_of(m_vPlaces.begin(), m_vPlaces.end(),
                    [&](const CPlace& place) { return place.nProgramNumber == nOut; })) {
        return false;
    }
    const auto it = m_asked.find(key);
    if (it != m_asked.end()) {
        m_askedNumbers.erase(it->second);
    }
    m_asked[key] = nOut;
    m_askedNumbers.insert(nOut);
    return true;
}

CProgramNumbering CProgramNumbering::AsksOnly() const
{
    CProgramNumbering numbering;
    numbering.m_asked = m_asked;
    numbering.m_askedNumbers = m_askedNumbers;
    return numbering;
}

bool CProgramNumbering::IsOmitted(int nInput, int nInNumber) const
{
    return nInNumber >= 0 &&
           std::any_of(m_vOmitted.begin(), m_vOmitted.end(), [&](const COmitted& omitted) {
               return omitted.nInput == nInput && omitted.nProgramNumber == nInNumber;
           });
}

std::vector<uint8_t> CProgramNumbering::GetUsed() const
{
    std::vector<uint8_t> vUsed(m_vState.size(), 0);
    for (size_t n = 0; n < m_vState.size(); ++n) {
        vUsed[n] = m_vState[n] != kFree ? 1 : 0;
    }
    return vUsed;
}

void CProgramNumbering::Take(const std::vector<uint8_t>& vUsed)
{
    for (size_t n = 0; n < vUsed.size() && n < m_vState.size(); ++n) {
        if (vUsed[n] != 0 && m_vState[n] == kFree) {
            m_vState[n] = kTaken;
        }
    }
}

int CProgramNumbering::FindPlace(int nInput, int nInNumber) const
{
    if (nInNumber < 0) {
        return -1;
    }
    for (size_t n = 0; n < m_vPlaces.size(); ++n) {
        if (m_vPlaces[n].nInput == nInput && m_vPlaces[n].nInNumber == nInNumber) {
            return int(n);
        }
    }
    return -1;
}

int CProgramNumbering::NextNumber(int nInput, int nInNumber) const
{
    const auto it = m_asked.find({nInput, nInNumber});
    if (nInNumber >= 0 && it != m_asked.end()) {
        return it->second;
    }
    int nNumber = m_nNextProgram;
    while (m_askedNumbers.count(nNumber) != 0) {
        ++nNumber;
    }
    return nNumber;
}

int CProgramNumbering::ReachOf(int nPmtPid) const
{
    int nBound = m_nNextPmtPid;
    for (const CPlace& place : m_vPlaces) {
        if (place.nPmtPid > nPmtPid && place.nPmtPid < nBound) {
            nBound = place.nPmtPid;
        }
    }
    return nBound;
}

int CProgramNumbering::TakeFromTop(int nPmtPid, const std::vector<std::pair<int, int>>& vAdded,
                                   const char* szInProgram) const
{
    // From the top down, so that the blocks of programs still to come, which
    // grow upwards, stay free.
    for (int nPid = kLastUsablePid; nPid > kPidSdt; --nPid) {
        if (m_vState[size_t(nPid)] == kFree &&
            std::none_of(vAdded.begin(), vAdded.end(),
                         [&](const std::pair<int, int>& e) { return e.second == nPid; })) {
            LogPrint(kLogWarning,
                     "mux: %s: its PIDs 0x%04X to 0x%04X are all taken; PID 0x%04X given instead",
                     szInProgram, unsigned(nPmtPid), unsigned(nPmtPid + kPmtPidStep - 1),
                     unsigned(nPid));
            return nPid;
        }
    }
    LogPrint(kLogError, "mux: %s: no output PID left for a new stream; it is left out",
             szInProgram);
    return -1;
}

CProgramNumbering::CGiven CProgramNumbering::Number(int nInput, const _PROGRAM_INFO& in,
                                                    const CProgramDescriptors* pIn, int* pPidMap,
                                                    const char* szInProgram, bool bMayMatch)
{
    CGiven given;
    const int nInNumber = pIn != nullptr ? pIn->nProgramNumber : -1;
    // A PID listed twice is one stream; one outside the PID space is none.
    std::vector<size_t> vStreams;
    for (size_t nEs = 0; nEs < in.vecEsInfo.size(); ++nEs) {
        const int nPid = in.vecEsInfo[nEs].nPid;
        if (IsPid(nPid) && std::none_of(vStreams.begin(), vStreams.end(),
                                        [&](size_t k) { return in.vecEsInfo[k].nPid == nPid; })) {
            vStreams.push_back(nEs);
        }
    }
    const int nPlace = bMayMatch ? FindPlace(nInput, nInNumber) : -1;
    const bool bNew = nPlace < 0;
    if (vStreams.size() > size_t(kMaxPmtStreams)) {
        if (bNew) {
            LogPrint(kLogError,
                     "mux: %s (PMT PID 0x%04X) left out: %zu streams, a PMT carries at most %d",
                     szInProgram, unsigned(in.nPmtPid), vStreams.size(), kMaxPmtStreams);
            m_vOmitted.push_back(COmitted{nInput, nInNumber, in.nPmtPid});
        } else {
            LogPrint(kLogError, "mux: %s: %zu streams, a PMT carries at most %d; its tables stay",
                     szInProgram, vStreams.size(), kMaxPmtStreams);
            given.kind = CGiven::kKept;
            given.nIndex = size_t(nPlace);
        }
        return given;
    }

    COutProgram& out = given.program;
    out.nInput = nInput;
    out.nPcrPid = kPidNull;
    if (bNew) {
        out.nProgramNumber = NextNumber(nInput, nInNumber);
        out.nPmtPid = m_nNextPmtPid;
        // A block whose PMT PID or PCR PID a stream took from the top is skipped.
        while (out.nPmtPid + 1 <= kLastUsablePid && (m_vState[size_t(out.nPmtPid)] != kFree ||
                                                     m_vState[size_t(out.nPmtPid + 1)] != kFree)) {
            out.nPmtPid += kPmtPidStep;
        }
    } else {
        out.nProgramNumber = m_vPlaces[size_t(nPlace)].nProgramNumber;
        out.nPmtPid = m_vPlaces[size_t(nPlace)].nPmtPid;
    }
    const int nPmtPid = out.nPmtPid;
    if (pIn != nullptr) {
        out.descriptors.vProgramInfo = pIn->vProgramInfo;
        out.descriptors.nProgramNumber = nInNumber;
    }

    std::vector<std::pair<int, int>>& vAdded = given.vNewPids; // kept only if it fits
    auto Lookup = [&](int nPid) {
        for (const auto& entry : vAdded) {
            if (entry.first == nPid) {
                return entry.second;
            }
        }
        return pPidMap[nPid];
    };
    // A new program counts on past the PID space and is left out below.
    const int nBound = bNew ? INT_MAX : std::min(ReachOf(nPmtPid), kLastUsablePid + 1);
    int nNext = nPmtPid + 2;
    auto TakeNext = [&]() {
        while (nNext < nBound && nNext <= kLastUsablePid && m_vState[size_t(nNext)] != kFree) {
            ++nNext;
        }
        return nNext < nBound ? nNext++ : TakeFromTop(nPmtPid, vAdded, szInProgram);
    };
    for (size_t nEs : vStreams) {
        const _ES_INFO& es = in.vecEsInfo[nEs];
        int nOut = Lookup(es.nPid);
        if (nOut < 0) {
            nOut = TakeNext();
            if (nOut < 0) {
                continue;
            }
            vAdded.emplace_back(es.nPid, nOut);
        }
        out.vEs.push_back(_ES_INFO{nOut, es.nStreamType});
        out.descriptors.vEs.push_back(
            pIn != nullptr && nEs < pIn->vEs.size() ? pIn->vEs[nEs] : CPmtDescriptorList());
    }
    // A PCR carried on one of the streams (as most encoders do) leaves on
    // that stream's output PID, so that PMT, restamping and packets agree.
    if (IsPid(in.nPcrPid) && in.nPcrPid != kPidNull) {
        int nOut = Lookup(in.nPcrPid);
        if (nOut < 0) {
            const bool bHeld =
                nPmtPid + 1 > kLastUsablePid || m_vState[size_t(nPmtPid + 1)] != kTaken;
            nOut = bHeld ? nPmtPid + 1 : TakeNext();
            if (nOut >= 0) {
                vAdded.emplace_back(in.nPcrPid, nOut);
            }
        }
        out.nPcrPid = nOut >= 0 ? nOut : kPidNull;
        out.nPmtPcrPid = out.nPcrPid;
    }
    if (m_bCaPass) {
        const int nLeftOut = PassCaDescriptors(out.descriptors, [&](int nPid) {
            int nOut = Lookup(nPid);
            if (nOut < 0) {
                nOut = TakeNext();
                if (nOut >= 0) {
                    vAdded.emplace_back(nPid, nOut);
                }
            }
            return nOut;
        });
        if (nLeftOut > 0) {
            LogPrint(kLogWarning,
                     "mux: %s: %d CA descriptors left out: they name no PID the multiplex can "
                     "carry",
                     szInProgram, nLeftOut);
        }
    }

    if (bNew) {
        const int nLastPid = std::max(nPmtPid + 1, nNext - 1);
        if (nLastPid > kLastUsablePid || out.nProgramNumber > kLastProgramNumber) {
            LogPrint(kLogError,
                     "mux: %s (PMT PID 0x%04X) left out: no output PIDs left (it would need "
                     "PIDs %d to %d)",
                     szInProgram, unsigned(in.nPmtPid), nPmtPid, nLastPid);
            m_vOmitted.push_back(COmitted{nInput, nInNumber, in.nPmtPid});
            vAdded.clear();
            return given;
        }
        m_vPlaces.push_back(CPlace{nInput, nInNumber, out.nProgramNumber, nPmtPid});
        if (m_askedNumbers.count(out.nProgramNumber) == 0) {
            m_nNextProgram = out.nProgramNumber + 1;
        }
        m_nNextPmtPid = nPmtPid;
        do {
            m_nNextPmtPid += kPmtPidStep;
        } while (m_nNextPmtPid <= nLastPid);
        m_vState[size_t(nPmtPid)] = kTaken;
        m_vState[size_t(nPmtPid + 1)] = kHeld;
    }
    for (const auto& entry : vAdded) {
        pPidMap[entry.first] = entry.second;
        m_vState[size_t(entry.second)] = kTaken;
    }
    given.kind = CGiven::kNumbered;
    given.nIndex = bNew ? m_vPlaces.size() - 1 : size_t(nPlace);
    given.bNew = bNew;
    return given;
}
