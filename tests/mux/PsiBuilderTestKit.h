#pragma once

#include "mux/CPsiBuilder.h"
#include "mux/SiTables.h"

#include "log/CLogger.h"
#include "support/CTsReader.h"
#include "ts/CPsiSection.h"
#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// What the table builder's tests share: input programs, fresh PID maps, the
// sections of a built set read back, and the log lines captured.
namespace pbk {

using Bytes = std::vector<unsigned char>;

inline _PROGRAM_INFO Program(int nPcrPid, std::vector<_ES_INFO> vEs, int nPmtPid = 0x20)
{
    return _PROGRAM_INFO{nPcrPid, nPmtPid, std::move(vEs)};
}

inline std::vector<int> FreshMap()
{
    return std::vector<int>(kPidCount, -1);
}

// The sections carried on one PID of a packet sequence, reassembled: a
// packet with payload_unit_start_indicator starts a section after its
// pointer_field, the packets after it continue it.
inline std::vector<Bytes> SectionsOnPid(const Bytes& vPackets, int nPid)
{
    std::vector<Bytes> vSections;
    for (size_t nOff = 0; nOff + kTsPacketSize <= vPackets.size(); nOff += kTsPacketSize) {
        CTsPacket packet;
        EXPECT_TRUE(packet.SetData(const_cast<unsigned char*>(&vPackets[nOff])));
        if (packet.GetPid() != nPid) {
            continue;
        }
        uint8_t nLen = 0;
        const unsigned char* pPayload = packet.GetPayload(nLen);
        if (pPayload == nullptr) {
            continue;
        }
        if (packet.GetPayloadUnitStartIndicator()) {
            vSections.emplace_back(pPayload + 1 + pPayload[0], pPayload + nLen);
        } else if (!vSections.empty()) {
            vSections.back().insert(vSections.back().end(), pPayload, pPayload + nLen);
        }
    }
    for (Bytes& s : vSections) {
        const size_t nSize = 3 + (((s[1] & 0x0F) << 8) | s[2]);
        EXPECT_LE(nSize, s.size());
        // Whatever follows the section in its last packet is stuffing.
        for (size_t i = nSize; i < s.size(); ++i) {
            EXPECT_EQ(s[i], 0xFF) << "byte " << i << " after the section";
        }
        s.resize(std::min(nSize, s.size()));
    }
    return vSections;
}

inline void ExpectValidSection(const Bytes& s, int nTableId)
{
    CPsiSection section;
    ASSERT_TRUE(section.SetData(s.data(), int(s.size())));
    EXPECT_EQ(section.GetTableId(), nTableId);
    EXPECT_TRUE(section.IsComplete());
    EXPECT_TRUE(section.CheckCrc32());
    EXPECT_EQ(section.GetVersionNumber(), 0);
    EXPECT_TRUE(section.GetCurrentNextIndicator());
}

// program_number -> PMT PID from PAT sections.
inline std::map<int, int> ParsePat(const std::vector<Bytes>& vSections)
{
    std::map<int, int> programs;
    for (const Bytes& s : vSections) {
        ExpectValidSection(s, 0x00);
        for (size_t i = 8; i + 4 + 4 <= s.size(); i += 4) {
            programs[(s[i] << 8) | s[i + 1]] = ((s[i + 2] & 0x1F) << 8) | s[i + 3];
        }
    }
    return programs;
}

struct CParsedPmt
{
    int nProgram = -1;
    int nPcrPid = -1;
    std::vector<std::pair<int, int>> vEs; // stream_type, PID
};

inline CParsedPmt ParsePmt(const Bytes& s)
{
    ExpectValidSection(s, 0x02);
    CParsedPmt pmt;
    pmt.nProgram = (s[3] << 8) | s[4];
    pmt.nPcrPid = ((s[8] & 0x1F) << 8) | s[9];
    const size_t nInfo = ((s[10] & 0x0F) << 8) | s[11];
    for (size_t i = 12 + nInfo; i + 5 + 4 <= s.size();) {
        pmt.vEs.emplace_back(s[i], ((s[i + 1] & 0x1F) << 8) | s[i + 2]);
        i += 5 + (((s[i + 3] & 0x0F) << 8) | s[i + 4]);
    }
    return pmt;
}

// service_id -> service descriptor body, from SDT sections.
inline std::map<int, Bytes> ParseSdt(const std::vector<Bytes>& vSections)
{
    std::map<int, Bytes> services;
    for (const Bytes& s : vSections) {
        ExpectValidSection(s, 0x42);
        for (size_t i = 11; i + 5 + 4 <= s.size();) {
            const int nId = (s[i] << 8) | s[i + 1];
            const size_t nLoop = ((s[i + 3] & 0x0F) << 8) | s[i + 4];
            Bytes& body = services[nId];
            if (nLoop >= 2 && s[i + 5] == 0x48) {
                body.assign(s.begin() + long(i) + 7, s.begin() + long(i) + 7 + s[i + 6]);
            }
            i += 5 + nLoop;
        }
    }
    return services;
}

inline Bytes BuildSet(CPsiBuilder& builder)
{
    Bytes vPsi;
    EXPECT_TRUE(builder.BuildPackets(vPsi));
    EXPECT_EQ(vPsi.size() % kTsPacketSize, 0u);
    return vPsi;
}

inline std::vector<std::string> g_vLogLines;
inline void CaptureLog(int nLevel, std::string sMessage)
{
    g_vLogLines.push_back(std::to_string(nLevel) + " " + sMessage);
}

class CLogCapture
{
public:
    CLogCapture()
    {
        g_vLogLines.clear();
        m_pPrevious = LogOutput;
        LogOutput = CaptureLog;
    }
    ~CLogCapture() { LogOutput = m_pPrevious; }

private:
    LogOutputFn m_pPrevious;
};

} // namespace pbk
