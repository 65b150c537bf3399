#include "support/CHeadEndStream.h"

#include <cstdio>
#include <deque>
#include <queue>

namespace tsb {

namespace {

constexpr int64_t kTicksPerMs = 27'000;
constexpr int64_t kFirstPcr = 10 * 27'000'000; // the grid's time at its first packet
constexpr int kFrameMs = 40;                   // 25 frames a second
// Packets per frame in one GOP: an I-frame of two, then B B P B B P of one:
// eight packets per seven frames, one every 35 ms at 40 ms a frame.
constexpr int kGopPackets[] = {2, 1, 1, 1, 1, 1, 1};
constexpr int kGopFrames = 7;
constexpr uint8_t kVideoStreamId = 0xE0;
constexpr uint8_t kAudioStreamId = 0xC0;

enum class Kind { Video, Audio, Psi };

// A packet the grid owes, from its time on; video goes first, then audio,
// then the tables, each in time order.
struct Event
{
    int64_t nTime; // ticks from the first packet
    Kind kind;
    int nProgram;    // -1 for the PAT
    int nPatPacket;  // which PAT packet
    bool operator>(const Event& o) const { return nTime > o.nTime; }
};

} // namespace

CHeadEndStream::CHeadEndStream(const HeadEndShape& shape) : m_shape(shape)
{
    Build();
}

void CHeadEndStream::Build()
{
    const int nPrograms = m_shape.nPrograms;
    const int64_t nSlots = int64_t(m_shape.fSeconds * double(m_shape.nBitRate) / (188 * 8));
    auto TimeOf = [&](int64_t nSlot) { return nSlot * 188 * 8 * 27'000'000 / m_shape.nBitRate; };

    std::vector<PatEntry> vPat;
    for (int p = 0; p < nPrograms; ++p) {
        vPat.push_back({uint16_t(p + 1), PmtPid(p)});
    }
    const Bytes pat = CPacketBuilder::PatSection(1, vPat);
    const size_t nPatPackets = CPacketBuilder::Packetize(0, pat).size();
    std::vector<Bytes> vPmts;
    for (int p = 0; p < nPrograms; ++p) {
        const uint16_t nPcrPid = m_shape.bDeclarePcrPid ? VideoPid(p) : uint16_t(0x1FFF);
        vPmts.push_back(CPacketBuilder::PmtSection(
            uint16_t(p + 1), nPcrPid, {{0x02, VideoPid(p), {}}, {0x04, AudioPid(p), {}}}));
    }

    std::priority_queue<Event, std::vector<Event>, std::greater<Event>> future;
    const int64_t nPcrTicks = m_shape.nPcrMs * kTicksPerMs;
    const int64_t nAudioTicks = m_shape.nAudioMs * kTicksPerMs;
    const int64_t nPsiTicks = m_shape.nPsiMs * kTicksPerMs;
    for (int p = 0; p < nPrograms; ++p) {
        future.push({nPcrTicks * p / nPrograms, Kind::Video, p, 0});
        future.push({nAudioTicks * p / nPrograms, Kind::Audio, p, 0});
        future.push({nPsiTicks * (p + 1) / (nPrograms + 1), Kind::Psi, p, 0});
    }
    for (size_t k = 0; k < nPatPackets; ++k) {
        future.push({int64_t(k), Kind::Psi, -1, int(k)}); // a tick apart: in order
    }

    std::vector<uint8_t> vCc(0x2000, 0);
    std::vector<int> vVideoPacket(size_t(nPrograms), 0); // video packets sent per program
    std::vector<int> vAudioPes(size_t(nPrograms), 0);
    std::deque<Event> ready[3];
    m_vBytes.reserve(size_t(nSlots) * 188);
    auto Put = [&](const Packet& packet) { m_vBytes.insert(m_vBytes.end(), packet.begin(), packet.end()); };
    auto Head = [&](uint16_t nPid, bool bPusi) {
        Header h;
        h.nPid = nPid;
        h.bPusi = bPusi;
        h.nCc = vCc[nPid];
        vCc[nPid] = uint8_t((vCc[nPid] + 1) & 0x0F);
        return h;
    };

    for (int64_t nSlot = 0; nSlot < nSlots; ++nSlot) {
        const int64_t nNow = TimeOf(nSlot);
        while (!future.empty() && future.top().nTime <= nNow) {
            ready[int(future.top().kind)].push_back(future.top());
            future.pop();
        }
        std::deque<Event>* pQueue = nullptr;
        for (std::deque<Event>& q : ready) {
            if (!q.empty()) {
                pQueue = &q;
                break;
            }
        }
        if (pQueue == nullptr) {
            Put(CPacketBuilder::Null());
            continue;
        }
        const Event e = pQueue->front();
        pQueue->pop_front();
        const int64_t nPcr = kFirstPcr + nNow;
        const int p = e.nProgram;
        switch (e.kind) {
        case Kind::Video: {
            // Which frame the packet belongs to, and whether it starts it.
            const int nPacket = vVideoPacket[size_t(p)]++;
            int nFrame = nPacket / 8 * kGopFrames;
            int nInGop = nPacket % 8;
            int nGopFrame = 0;
            while (nInGop >= kGopPackets[nGopFrame]) {
                nInGop -= kGopPackets[nGopFrame++];
            }
            nFrame += nGopFrame;
            const int64_t nStart = nPcrTicks * p / nPrograms;
            if (nInGop == 0) {
                const int64_t nDts =
                    (kFirstPcr + nStart + (nFrame * kFrameMs + m_shape.nVideoMarginMs) * kTicksPerMs) /
                    300;
                const bool bReference = nGopFrame == 0 || nGopFrame % 3 == 0;
                const int64_t nPts = nDts + (bReference ? 2 * kFrameMs * 90 : 0);
                Packet packet = CPacketBuilder::PesStart(Head(VideoPid(p), true), kVideoStreamId,
                                                         nPts, nDts, nPcr);
                packet[187] = uint8_t(nFrame);
                Put(packet);
            } else {
                Put(CPacketBuilder::Pcr(Head(VideoPid(p), false), nPcr, false,
                                        Bytes(176, uint8_t(0x80 | nGopFrame))));
            }
            future.push({nStart + int64_t(nPacket + 1) * nPcrTicks, Kind::Video, p, 0});
            break;
        }
        case Kind::Audio: {
            const int nPes = vAudioPes[size_t(p)]++;
            const int64_t nStart = nAudioTicks * p / nPrograms;
            const int64_t nPts =
                (kFirstPcr + nStart + int64_t(nPes) * nAudioTicks + m_shape.nAudioMarginMs * kTicksPerMs) /
                300;
            Put(CPacketBuilder::PesStart(Head(AudioPid(p), true), kAudioStreamId, nPts));
            future.push({nStart + int64_t(nPes + 1) * nAudioTicks, Kind::Audio, p, 0});
            break;
        }
        case Kind::Psi: {
            if (p < 0) {
                const std::vector<Packet> v = CPacketBuilder::Packetize(0, pat);
                Packet packet = v[size_t(e.nPatPacket)];
                packet[3] = uint8_t((packet[3] & 0xF0) | Head(0, false).nCc);
                Put(packet);
            } else {
                Packet packet = CPacketBuilder::Packetize(PmtPid(p), vPmts[size_t(p)])[0];
                packet[3] = uint8_t((packet[3] & 0xF0) | Head(PmtPid(p), false).nCc);
                Put(packet);
            }
            future.push({e.nTime + nPsiTicks, Kind::Psi, p, e.nPatPacket});
            break;
        }
        }
    }
}

bool CHeadEndStream::WriteFile(const std::string& sPath) const
{
    FILE* pFile = std::fopen(sPath.c_str(), "wb");
    if (pFile == nullptr) {
        return false;
    }
    const bool bOk = std::fwrite(m_vBytes.data(), 1, m_vBytes.size(), pFile) == m_vBytes.size();
    return std::fclose(pFile) == 0 && bOk;
}

} // namespace tsb
