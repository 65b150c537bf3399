#pragma once

// The renumbering fuzz target's readers and checks: its input bytes, the
// PSI set cut back into sections, and what each table must say. Included by
// fuzz_psi_build.cpp alone.
#include "FuzzCheck.h"
#include "braidmill.h"
#include "input/CProgramDescriptors.h"
#include "log/CLogger.h"
#include "mux/CPsiBuilder.h"
#include "mux/MuxConstants.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr int kMaxInputs = 4;
constexpr int kMaxPrograms = 400;
constexpr int kMaxDescriptors = 16; // per loop

// What a kept output program's PMT must say, from its input program.
struct CExpectedPmt
{
    CProgramDescriptors descriptors; // the input's, CA left out, per kept stream
    bool bAllFit = false;            // with all of them the section fits
};

// Programs the builder left out, by input and program (from 1), as its
// error lines name them. The builder numbers the others in order, so this is
// what ties each output program to its input program.
std::set<std::pair<int, size_t>> g_omitted;

void CatchLogLine(int, std::string sMessage)
{
    int nInput = 0;
    size_t nProgram = 0;
    if (std::sscanf(sMessage.c_str(), "mux: input %d program %zu", &nInput, &nProgram) == 2 &&
        sMessage.find(") left out: ") != std::string::npos) {
        g_omitted.emplace(nInput, nProgram);
    }
}

class CByteReader
{
public:
    CByteReader(const uint8_t* pData, size_t nSize) : m_pData(pData), m_nSize(nSize) {}
    uint8_t U8() { return m_nPos < m_nSize ? m_pData[m_nPos++] : 0; }
    uint16_t U16()
    {
        const uint16_t nLow = U8();
        return uint16_t(nLow | (U8() << 8));
    }
    int Pid()
    {
        const uint16_t nRaw = U16();
        if (!(nRaw & 0x2000)) {
            return nRaw & (kPidCount - 1);
        }
        return (nRaw & 1) ? -1 : nRaw;
    }

    CPmtDescriptorList Descriptors()
    {
        CPmtDescriptorList vList(size_t(U8() % kMaxDescriptors));
        for (CPmtDescriptor& d : vList) {
            d.nTag = U8();
            d.vData.resize(U8());
            for (uint8_t& nByte : d.vData) {
                nByte = U8();
            }
        }
        return vList;
    }

private:
    const uint8_t* m_pData;
    size_t m_nSize;
    size_t m_nPos = 0;
};

bool IsPid(int nPid)
{
    return nPid >= 0 && nPid < kPidCount;
}

// One section as cut out of the PSI set.
struct CCutSection
{
    int nPid;
    std::vector<unsigned char> vBytes; // table_id through CRC_32
};

// Cuts the PSI set back into sections, checking the packets on the way.
std::vector<CCutSection> CutSections(const std::vector<unsigned char>& vPsi)
{
    FUZZ_CHECK(vPsi.size() % kTsPacketSize == 0);
    std::vector<CCutSection> vSections;
    const size_t nPackets = vPsi.size() / kTsPacketSize;
    size_t i = 0;
    while (i < nPackets) {
        std::vector<unsigned char> vPacket(vPsi.begin() + long(i * kTsPacketSize),
                                           vPsi.begin() + long((i + 1) * kTsPacketSize));
        CTsPacket packet;
        FUZZ_CHECK(packet.SetData(vPacket.data()));
        // Every section starts a packet of its own.
        FUZZ_CHECK(packet.GetPayloadUnitStartIndicator());
        FUZZ_CHECK(!packet.GetTransportErrorIndicator());
        FUZZ_CHECK(packet.GetAdaptationFieldControl() == 1);
        FUZZ_CHECK(packet.GetScramblingControl() == 0);
        FUZZ_CHECK(packet.GetContinuityCounter() == 0);
        const int nPid = packet.GetPid();
        uint8_t nLen = 0;
        const unsigned char* pPayload = packet.GetPayload(nLen);
        FUZZ_CHECK(pPayload != nullptr && nLen == kTsPacketSize - 4);
        FUZZ_CHECK(pPayload[0] == 0); // pointer_field
        CPsiSection head;
        FUZZ_CHECK(head.SetData(packet));
        FUZZ_CHECK(head.GetAvailable() >= 3);
        const int nTotal = 3 + head.GetSectionLength();
        FUZZ_CHECK(nTotal <= kMaxSectionBytes);

        CCutSection section;
        section.nPid = nPid;
        const unsigned char* pFrom = head.GetData();
        int nAvail = head.GetAvailable();
        for (;;) {
            const int nTake = std::min(nAvail, nTotal - int(section.vBytes.size()));
            section.vBytes.insert(section.vBytes.end(), pFrom, pFrom + nTake);
            // The section ends in this packet: the rest is stuffing.
            for (int k = nTake; k < nAvail; ++k) {
                FUZZ_CHECK(pFrom[k] == 0xFF);
            }
            ++i;
            if (int(section.vBytes.size()) == nTotal) {
                break;
            }
            FUZZ_CHECK(i < nPackets);
            std::memcpy(vPacket.data(), &vPsi[i * kTsPacketSize], kTsPacketSize);
            FUZZ_CHECK(packet.SetData(vPacket.data()));
            FUZZ_CHECK(!packet.GetPayloadUnitStartIndicator());
            FUZZ_CHECK(packet.GetPid() == nPid);
            FUZZ_CHECK(packet.GetAdaptationFieldControl() == 1);
            pFrom = packet.GetPayload(nLen);
            FUZZ_CHECK(pFrom != nullptr);
            nAvail = nLen;
        }
        vSections.push_back(std::move(section));
    }
    return vSections;
}

// A section from the set, read through CPsiSection from an allocation of
// exactly its size.
struct CParsed
{
    uint8_t nTableId;
    uint16_t nExtension;
    uint8_t nNumber;
    uint8_t nLast;
    std::vector<unsigned char> vBody;
};

CParsed ParseSection(const CCutSection& cut)
{
    const int nLen = int(cut.vBytes.size());
    std::unique_ptr<unsigned char[]> pBuf(new unsigned char[size_t(nLen)]);
    std::memcpy(pBuf.get(), cut.vBytes.data(), size_t(nLen));
    CPsiSection section;
    FUZZ_CHECK(section.SetData(pBuf.get(), nLen));
    FUZZ_CHECK(section.IsComplete());
    FUZZ_CHECK(3 + section.GetSectionLength() == nLen);
    FUZZ_CHECK(section.GetSectionSyntaxIndicator());
    FUZZ_CHECK(section.CheckCrc32());
    FUZZ_CHECK(section.GetVersionNumber() == 0);
    FUZZ_CHECK(section.GetCurrentNextIndicator());
    FUZZ_CHECK(section.GetSectionNumber() <= section.GetLastSectionNumber());
    int nBodyLen = -1;
    const unsigned char* pBody = section.GetBody(nBodyLen);
    FUZZ_CHECK(pBody != nullptr && nBodyLen == nLen - 12);
    CParsed parsed;
    parsed.nTableId = section.GetTableId();
    parsed.nExtension = section.GetTableIdExtension();
    parsed.nNumber = section.GetSectionNumber();
    parsed.nLast = section.GetLastSectionNumber();
    parsed.vBody.assign(pBody, pBody + nBodyLen);
    return parsed;
}

// Sections of one table, numbered 0 .. last in order.
void CheckNumbering(const std::vector<CParsed>& vTable)
{
    FUZZ_CHECK(!vTable.empty());
    for (size_t k = 0; k < vTable.size(); ++k) {
        FUZZ_CHECK(vTable[k].nNumber == k);
        FUZZ_CHECK(vTable[k].nLast == vTable.size() - 1);
        FUZZ_CHECK(vTable[k].nExtension == vTable[0].nExtension);
    }
}

int Pid13(const unsigned char* p)
{
    return ((p[0] & 0x1F) << 8) | p[1];
}

void CheckPat(const std::vector<CParsed>& vPat, const std::vector<COutProgram>& programs)
{
    CheckNumbering(vPat);
    size_t nNext = 0;
    for (const CParsed& s : vPat) {
        FUZZ_CHECK(s.nTableId == kTableIdPat && s.nExtension == kOutTsId);
        FUZZ_CHECK(s.vBody.size() % 4 == 0);
        for (size_t k = 0; k < s.vBody.size(); k += 4) {
            FUZZ_CHECK(nNext < programs.size());
            const int nNumber = (s.vBody[k] << 8) | s.vBody[k + 1];
            FUZZ_CHECK(nNumber == programs[nNext].nProgramNumber);
            FUZZ_CHECK(Pid13(&s.vBody[k + 2]) == programs[nNext].nPmtPid);
            ++nNext;
        }
    }
    FUZZ_CHECK(nNext == programs.size());
}

// A descriptor loop of nLen bytes from p, as tags and bodies.
CPmtDescriptorList ParseDescriptors(const unsigned char* p, size_t nLen)
{
    CPmtDescriptorList vList;
    size_t k = 0;
    while (k < nLen) {
        FUZZ_CHECK(k + 2 <= nLen);
        CPmtDescriptor d;
        d.nTag = p[k];
        const size_t nBody = p[k + 1];
        FUZZ_CHECK(k + 2 + nBody <= nLen);
        d.vData.assign(p + k + 2, p + k + 2 + nBody);
        vList.push_back(std::move(d));
        k += 2 + nBody;
    }
    return vList;
}

bool SameDescriptor(const CPmtDescriptor& a, const CPmtDescriptor& b)
{
    return a.nTag == b.nTag && a.vData == b.vData;
}

// vOut is vIn, or when not all fitted, vIn with some left out, in order.
void CheckDescriptorLoop(const CPmtDescriptorList& vOut, const CPmtDescriptorList& vIn,
                         bool bAllFit)
{
    for (const CPmtDescriptor& d : vOut) {
        FUZZ_CHECK(d.nTag != kDescriptorTagCa);
    }
    if (bAllFit) {
        FUZZ_CHECK(vOut.size() == vIn.size());
    }
    size_t nIn = 0;
    for (const CPmtDescriptor& d : vOut) {
        while (nIn < vIn.size() && !SameDescriptor(vIn[nIn], d)) {
            FUZZ_CHECK(!bAllFit);
            ++nIn;
        }
        FUZZ_CHECK(nIn < vIn.size());
        ++nIn;
    }
}

void CheckPmt(const std::vector<CParsed>& vPmt, const COutProgram& program,
              const CExpectedPmt& expected)
{
    // One section, so that every receiver sees the whole program.
    FUZZ_CHECK(vPmt.size() == 1);
    CheckNumbering(vPmt);
    const CParsed& s = vPmt[0];
    FUZZ_CHECK(s.nTableId == kTableIdPmt && s.nExtension == program.nProgramNumber);
    FUZZ_CHECK(s.vBody.size() >= 4);
    FUZZ_CHECK(Pid13(&s.vBody[0]) == program.nPcrPid);
    const size_t nInfo = size_t(((s.vBody[2] & 0x0F) << 8) | s.vBody[3]);
    FUZZ_CHECK(4 + nInfo <= s.vBody.size());
    CheckDescriptorLoop(ParseDescriptors(s.vBody.data() + 4, nInfo),
                        expected.descriptors.vProgramInfo, expected.bAllFit);
    size_t nNext = 0;
    for (size_t k = 4 + nInfo; k < s.vBody.size();) {
        FUZZ_CHECK(k + 5 <= s.vBody.size());
        FUZZ_CHECK(nNext < program.vEs.size());
        FUZZ_CHECK(s.vBody[k] == program.vEs[nNext].nStreamType);
        FUZZ_CHECK(Pid13(&s.vBody[k + 1]) == program.vEs[nNext].nPid);
        const size_t nEsInfo = size_t(((s.vBody[k + 3] & 0x0F) << 8) | s.vBody[k + 4]);
        k += 5;
        FUZZ_CHECK(k + nEsInfo <= s.vBody.size());
        CheckDescriptorLoop(ParseDescriptors(s.vBody.data() + k, nEsInfo),
                            expected.descriptors.vEs[nNext], expected.bAllFit);
        k += nEsInfo;
        ++nNext;
    }
    FUZZ_CHECK(nNext == program.vEs.size());
}

void CheckSdt(const std::vector<CParsed>& vSdt, const std::vector<COutProgram>& programs)
{
    CheckNumbering(vSdt);
    size_t nNext = 0;
    for (const CParsed& s : vSdt) {
        FUZZ_CHECK(s.nTableId == kTableIdSdt && s.nExtension == kOutTsId);
        FUZZ_CHECK(s.vBody.size() >= 3);
        FUZZ_CHECK(((s.vBody[0] << 8) | s.vBody[1]) == kOutNetworkId);
        size_t k = 3;
        while (k < s.vBody.size()) {
            FUZZ_CHECK(k + 5 <= s.vBody.size());
            FUZZ_CHECK(nNext < programs.size());
            const int nService = (s.vBody[k] << 8) | s.vBody[k + 1];
            FUZZ_CHECK(nService == programs[nNext].nProgramNumber);
            FUZZ_CHECK((s.vBody[k + 3] >> 5) == kRunningStatusRunning);
            const size_t nLoop = size_t(((s.vBody[k + 3] & 0x0F) << 8) | s.vBody[k + 4]);
            k += 5;
            FUZZ_CHECK(k + nLoop <= s.vBody.size());
            // One service descriptor: type, provider, "service %03d".
            char szName[kServiceNameChars] = {};
            std::snprintf(szName, sizeof(szName), "service %03d", nService);
            std::vector<unsigned char> vExpect = {uint8_t(kServiceDescriptorTag), 0,
                                                  uint8_t(kServiceTypeTv),
                                                  uint8_t(std::strlen(kServiceProvider))};
            vExpect.insert(vExpect.end(), kServiceProvider,
                           kServiceProvider + std::strlen(kServiceProvider));
            vExpect.push_back(uint8_t(std::strlen(szName)));
            vExpect.insert(vExpect.end(), szName, szName + std::strlen(szName));
            vExpect[1] = uint8_t(vExpect.size() - 2);
            FUZZ_CHECK(nLoop == vExpect.size());
            FUZZ_CHECK(std::memcmp(&s.vBody[k], vExpect.data(), nLoop) == 0);
            k += nLoop;
            ++nNext;
        }
    }
    FUZZ_CHECK(nNext == programs.size());
}

void CheckNit(const std::vector<CParsed>& vNit)
{
    CheckNumbering(vNit);
    FUZZ_CHECK(vNit.size() == 1);
    const CParsed& s = vNit[0];
    FUZZ_CHECK(s.nTableId == kTableIdNit && s.nExtension == kOutNetworkId);
    // No network descriptors and no transport streams.
    FUZZ_CHECK(s.vBody.size() == 4);
    FUZZ_CHECK((((s.vBody[0] & 0x0F) << 8) | s.vBody[1]) == 0);
    FUZZ_CHECK((((s.vBody[2] & 0x0F) << 8) | s.vBody[3]) == 0);
}

// The set in order: PAT, one PMT per program, SDT, NIT; each table's
// sections on its PID, one after the other.
void CheckPsiSet(const std::vector<unsigned char>& vPsi, const std::vector<COutProgram>& programs,
                 const std::vector<CExpectedPmt>& vExpected)
{
    const std::vector<CCutSection> vCut = CutSections(vPsi);
    size_t k = 0;
    auto TakeTable = [&](int nPid) {
        std::vector<CParsed> vTable;
        while (k < vCut.size() && vCut[k].nPid == nPid) {
            vTable.push_back(ParseSection(vCut[k]));
            ++k;
            if (vTable.back().nNumber == vTable.back().nLast) {
                break;
            }
        }
        return vTable;
    };
    CheckPat(TakeTable(kPidPat), programs);
    for (size_t n = 0; n < programs.size(); ++n) {
        CheckPmt(TakeTable(programs[n].nPmtPid), programs[n], vExpected[n]);
    }
    CheckSdt(TakeTable(kPidSdt), programs);
    CheckNit(TakeTable(kPidNit));
    FUZZ_CHECK(k == vCut.size());
}

// The numbering: consecutive program numbers from 101, PMT PIDs growing in
// steps of 10 from 1011, each program's new PIDs between its PMT PID and
// the next program's.
void CheckNumbers(const std::vector<COutProgram>& programs)
{
    int nPrevLast = 0;
    for (size_t k = 0; k < programs.size(); ++k) {
        const COutProgram& p = programs[k];
        FUZZ_CHECK(p.nProgramNumber == kFirstProgramNumber + int(k));
        FUZZ_CHECK(p.nPmtPid >= kFirstPmtPid && (p.nPmtPid - kFirstPmtPid) % kPmtPidStep == 0);
        FUZZ_CHECK(p.nPmtPid > nPrevLast);
        FUZZ_CHECK(p.vEs.size() <= size_t(kMaxPmtStreams));
        int nLast = p.nPmtPid;
        std::set<int> vPids;
        for (const _ES_INFO& es : p.vEs) {
            FUZZ_CHECK(es.nPid > kFirstPmtPid && es.nPid <= kLastUsablePid);
            FUZZ_CHECK(es.nPid != p.nPmtPid);
            // A stream PID of an earlier program (shared within the input)
            // or one of this program's own.
            FUZZ_CHECK(es.nPid < p.nPmtPid || es.nPid > p.nPmtPid + 1);
            FUZZ_CHECK(vPids.insert(es.nPid).second); // listed once
            nLast = std::max(nLast, es.nPid);
        }
        FUZZ_CHECK(
            p.nPcrPid == kPidNull ||
            (p.nPcrPid > kFirstPmtPid && p.nPcrPid <= kLastUsablePid && p.nPcrPid != p.nPmtPid));
        if (p.nPcrPid != kPidNull) {
            nLast = std::max(nLast, p.nPcrPid);
        }
        FUZZ_CHECK(nLast <= kLastUsablePid);
        nPrevLast = std::max(nPrevLast, nLast);
    }
}

CPmtDescriptorList WithoutCa(const CPmtDescriptorList& vList)
{
    CPmtDescriptorList vOut;
    for (const CPmtDescriptor& d : vList) {
        if (d.nTag != kDescriptorTagCa) {
            vOut.push_back(d);
        }
    }
    return vOut;
}

int LoopBytes(const CPmtDescriptorList& vList)
{
    int nBytes = 0;
    for (const CPmtDescriptor& d : vList) {
        nBytes += 2 + int(d.vData.size());
    }
    return nBytes;
}

// The output program made of an input program: its streams once each (valid
// PIDs only) on the PIDs the map gives, its PCR likewise, and what its PMT
// must carry.
CExpectedPmt CheckOutProgram(const COutProgram& out, const _PROGRAM_INFO& in,
                             const CProgramDescriptors* pIn, const int* pMap)
{
    CExpectedPmt expected;
    if (pIn != nullptr) {
        expected.descriptors.vProgramInfo = WithoutCa(pIn->vProgramInfo);
    }
    int nBytes = 16 + LoopBytes(expected.descriptors.vProgramInfo);
    std::set<int> listed;
    size_t nOut = 0;
    for (size_t nEs = 0; nEs < in.vecEsInfo.size(); ++nEs) {
        const _ES_INFO& es = in.vecEsInfo[nEs];
        if (!IsPid(es.nPid) || !listed.insert(es.nPid).second) {
            continue;
        }
        FUZZ_CHECK(nOut < out.vEs.size());
        FUZZ_CHECK(out.vEs[nOut].nStreamType == es.nStreamType);
        FUZZ_CHECK(out.vEs[nOut].nPid == pMap[es.nPid]);
        ++nOut;
        CPmtDescriptorList vList;
        if (pIn != nullptr && nEs < pIn->vEs.size()) {
            vList = WithoutCa(pIn->vEs[nEs]);
        }
        nBytes += 5 + LoopBytes(vList);
        expected.descriptors.vEs.push_back(std::move(vList));
    }
    FUZZ_CHECK(nOut == out.vEs.size());
    if (IsPid(in.nPcrPid) && in.nPcrPid != kPidNull) {
        FUZZ_CHECK(out.nPcrPid == pMap[in.nPcrPid]);
    } else {
        FUZZ_CHECK(out.nPcrPid == kPidNull);
    }
    expected.bAllFit = nBytes <= kMaxSectionBytes;
    return expected;
}

// One input as the harness reads it.

} // namespace
