#include "support/CTestStream.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace tsb {

namespace {

constexpr uint16_t kPmtPidBase = 0x1000;
constexpr int kSlotMs = 20; // PCR and PES interval
constexpr int kTablesEverySlots = 5;
constexpr int64_t kPtsAhead = 9000; // 100 ms in 90 kHz ticks
constexpr int64_t kDtsBehindPts = 3600;
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kAudioStreamId = 0xC0;

void Stamp(Packet& packet, uint32_t nSerial)
{
    std::memcpy(&packet[184], &nSerial, sizeof(nSerial));
}

} // namespace

CTestStream::CTestStream(const StreamSpec& shape) : m_shape(shape)
{
    for (int k = 0; k < m_shape.nPrograms; ++k) {
        const uint16_t nBase = uint16_t(m_shape.nPidBase + 16 * k);
        StreamProgram program{uint16_t(kPmtPidBase + k), nBase,
                              uint16_t(nBase + 1),           uint16_t(nBase + 2),
                              uint16_t(nBase + 3),           uint16_t(nBase + 4)};
        if (m_shape.bPcrOnVideo) {
            program.nPcrPid = program.nVideoPid;
        }
        m_vPrograms.push_back(program);
    }
    Build();
}

void CTestStream::Build()
{
    const double fPacketsPerSlot = m_shape.fBitRate * kSlotMs / 1000.0 / (188 * 8);
    const int nSlotPackets = std::max(1, int(std::lround(fPacketsPerSlot)));
    const int nSlots = std::max(1, int(std::lround(m_shape.fSeconds * 1000.0 / kSlotMs)));
    std::map<uint16_t, uint8_t> ccs; // next counter per PID for packets with payload
    uint32_t nSerial = 0;

    auto Head = [&](uint16_t nPid, bool bPayload) {
        Header h;
        h.nPid = nPid;
        uint8_t& nCc = ccs[nPid];
        // Without payload the counter stays where the last payload left it.
        h.nCc = bPayload ? nCc++ : uint8_t(nCc - 1);
        nCc &= 0x0F;
        h.nCc &= 0x0F;
        return h;
    };
    // The PCR due at the next packet: its byte position at the file's rate.
    auto PcrHere = [&]() {
        const double fTicks = double(m_vPackets.size()) * 188 * 8 * 27e6 / m_shape.fBitRate;
        return m_shape.nFirstPcr + int64_t(fTicks);
    };
    auto Add = [&](Packet packet, bool bSerial) {
        if (bSerial) {
            Stamp(packet, nSerial++);
        }
        // Only a payload is scrambled; the header and adaptation field stay clear.
        if (m_shape.bScrambled && (packet[3] & 0x10) != 0) {
            packet[3] |= 0x80;
        }
        m_vPackets.push_back(packet);
    };

    auto AddSection = [&](uint16_t nPid, const Bytes& section) {
        const std::vector<Packet> vPackets = CPacketBuilder::Packetize(nPid, section, ccs[nPid]);
        m_vPackets.insert(m_vPackets.end(), vPackets.begin(), vPackets.end());
        ccs[nPid] = uint8_t((ccs[nPid] + vPackets.size()) & 0x0F);
    };

    std::vector<PatEntry> patEntries;
    for (size_t k = 0; k < m_vPrograms.size(); ++k) {
        patEntries.push_back(PatEntry{uint16_t(k + 1), m_vPrograms[k].nPmtPid});
    }
    const Bytes pat = CPacketBuilder::PatSection(1, patEntries);

    for (int nSlot = 0; nSlot < nSlots; ++nSlot) {
        const size_t nSlotEnd = m_vPackets.size() + size_t(nSlotPackets);
        if (nSlot % kTablesEverySlots == 0) {
            if (m_shape.bWithPat) {
                AddSection(0, pat);
            }
            for (size_t k = 0; k < m_vPrograms.size(); ++k) {
                const StreamProgram& program = m_vPrograms[k];
                std::vector<Descriptor> programCa, videoCa;
                if (m_shape.bScrambled) {
                    programCa.push_back(CPacketBuilder::CaDescriptor(0x0B00, program.nEcmPid, {1}));
                    videoCa.push_back(CPacketBuilder::CaDescriptor(0x0100, program.nVideoEcmPid));
                }
                const Bytes pmt = CPacketBuilder::PmtSection(
                    uint16_t(k + 1), program.nPcrPid,
                    {{0x02, program.nVideoPid, videoCa}, {0x04, program.nAudioPid, {}}}, 0,
                    programCa);
                AddSection(program.nPmtPid, pmt);
                if (m_shape.bScrambled) {
                    // Private sections: table_id 0x80 (ECM), 0x82 (EMM), any content.
                    AddSection(program.nEcmPid, Bytes{0x80, 0x70, 0x04, 0xEC, 0x31, 0x00, uint8_t(k)});
                    AddSection(program.nVideoEcmPid, Bytes{0x81, 0x70, 0x02, 0xEC, 0x32});
                }
            }
            if (m_shape.bScrambled) {
                AddSection(0x0001, CPacketBuilder::CatSection(
                                       {CPacketBuilder::CaDescriptor(0x0B00, m_shape.nEmmPid)}));
                AddSection(m_shape.nEmmPid, Bytes{0x82, 0x70, 0x02, 0xE3, 0x33});
            }
        }
        // Per program a PCR and the starts of a video and an audio PES.
        for (const StreamProgram& program : m_vPrograms) {
            const int64_t nPcr = PcrHere();
            const int64_t nPts = nPcr / 300 + kPtsAhead;
            if (m_shape.bPcrOnVideo) {
                Add(CPacketBuilder::PesStart(Head(program.nVideoPid, true), kVideoStreamId, nPts,
                                             nPts - kDtsBehindPts, nPcr),
                    true);
            } else {
                Add(CPacketBuilder::Pcr(Head(program.nPcrPid, false), nPcr), true);
                Add(CPacketBuilder::PesStart(Head(program.nVideoPid, true), kVideoStreamId, nPts,
                                             nPts - kDtsBehindPts),
                    true);
            }
            Add(CPacketBuilder::PesStart(Head(program.nAudioPid, true), kAudioStreamId, nPts),
                true);
        }
        // The rest of the slot: PES payload, mostly video.
        for (size_t n = 0; m_vPackets.size() < nSlotEnd; ++n) {
            const StreamProgram& program = m_vPrograms[n % m_vPrograms.size()];
            const bool bAudio = (n / m_vPrograms.size()) % 6 == 5;
            const uint16_t nPid = bAudio ? program.nAudioPid : program.nVideoPid;
            Add(CPacketBuilder::Payload(Head(nPid, true), Bytes(184, 0xA5)), true);
        }
    }
}

std::vector<Packet> CTestStream::GetPacketsOf(uint16_t nPid) const
{
    std::vector<Packet> vOut;
    for (const Packet& p : m_vPackets) {
        if ((((p[1] & 0x1F) << 8) | p[2]) == nPid) {
            vOut.push_back(p);
        }
    }
    return vOut;
}

bool CTestStream::WriteFile(const std::string& sPath) const
{
    FILE* pFile = std::fopen(sPath.c_str(), "wb");
    if (pFile == nullptr) {
        return false;
    }
    bool bOk = true;
    for (const Packet& p : m_vPackets) {
        bOk = bOk && std::fwrite(p.data(), 1, p.size(), pFile) == p.size();
    }
    return std::fclose(pFile) == 0 && bOk;
}

bool WriteInputs(const std::vector<std::string>& vPaths, double fSeconds, double fBitRate)
{
    for (size_t i = 0; i < vPaths.size(); ++i) {
        StreamSpec shape;
        shape.fBitRate = fBitRate;
        shape.fSeconds = fSeconds;
        shape.nPidBase = uint16_t(0x100 + 0x300 * i);
        shape.bPcrOnVideo = i % 2 == 1;
        if (!CTestStream(shape).WriteFile(vPaths[i])) {
            std::fprintf(stderr, "cannot write %s\n", vPaths[i].c_str());
            return false;
        }
    }
    return true;
}

} // namespace tsb
