#pragma once

#include "support/CPacketBuilder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tsb {

// The shape of a constant-rate input of many small programs.
struct HeadEndShape
{
    int nPrograms = 200;
    int64_t nBitRate = 12'000'000; // bit/s of the file, null packets included
    double fSeconds = 3.0;
    int nPcrMs = 35;          // a video packet, with a PCR, every this often per program
    int nAudioMs = 192;       // an audio PES (one packet) every this often
    int nPsiMs = 500;         // PAT and each PMT every this often
    int nVideoMarginMs = 500; // DTS - PCR of a video frame when its first packet leaves
    int nAudioMarginMs = 300; // PTS - PCR of an audio PES
    bool bDeclarePcrPid = true; // false: the PMTs say 0x1FFF, the PCRs stay on the video
};

// An input as an encoder pool hands many programs to a head-end, built
// packet by packet on a constant-rate grid: per program an MPEG-2-like video
// PID (frames of one or two packets in a seven-frame GOP, PTS and DTS; every
// video packet carries the program's PCR, so no PCR-only packet is needed)
// and an audio PID; PAT and PMTs spread over their interval; null packets
// fill the rest. Program k (from 0) has PMT PID 0x100 + k, video 0x400 + k,
// audio 0xA00 + k. Every PCR is exact for its packet's position.
class CHeadEndStream
{
public:
    explicit CHeadEndStream(const HeadEndShape& shape);

    const std::vector<uint8_t>& GetBytes() const { return m_vBytes; }
    bool WriteFile(const std::string& sPath) const;

    static uint16_t PmtPid(int nProgram) { return uint16_t(0x100 + nProgram); }
    static uint16_t VideoPid(int nProgram) { return uint16_t(0x400 + nProgram); }
    static uint16_t AudioPid(int nProgram) { return uint16_t(0xA00 + nProgram); }

private:
    void Build();

    HeadEndShape m_shape;
    std::vector<uint8_t> m_vBytes;
};

} // namespace tsb
