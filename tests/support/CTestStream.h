#pragma once

#include "support/CPacketBuilder.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tsb {

// What a synthetic input stream holds.
struct StreamSpec
{
    double fBitRate = 1'500'000; // bit/s of the file
    double fSeconds = 1.0;       // play time
    int nPrograms = 1;
    bool bPcrOnVideo = false; // PCR in the video packets instead of a PID of its own
    bool bWithPat = true;     // false: PMTs only, so the programs are never found
    int64_t nFirstPcr = 27'000'000;
    uint16_t nPidBase = 0x100; // program k: PCR base + 16k, video + 1, audio + 2
    // Scrambled: every stream payload has transport_scrambling_control 2; a
    // CAT names the EMM PID; each PMT names a program-level ECM (CA system
    // 0x0B00, PID base + 16k + 3) and a video-level one (0x0100, + 4); ECM
    // and EMM sections go with the tables.
    bool bScrambled = false;
    uint16_t nEmmPid = 0x1F00;
};

struct StreamProgram
{
    uint16_t nPmtPid;
    uint16_t nPcrPid; // the video PID when the PCR rides on it
    uint16_t nVideoPid;
    uint16_t nAudioPid;
    uint16_t nEcmPid;      // program-level ECM (bScrambled)
    uint16_t nVideoEcmPid; // video-level ECM (bScrambled)
};

// A synthetic transport stream for tests and benchmarks, built with
// CPacketBuilder: per program a video (stream_type 0x02) and an audio
// (0x04) PID; PAT and PMTs every 100 ms; a PCR per program every 20 ms that
// matches its packet's byte position at the file's rate; a video and an
// audio PES start per 20 ms with PTS (and DTS on video) ahead of the PCR.
// Every stream packet carries a serial number in its last four bytes, so a
// copy can be told from another.
class CTestStream
{
public:
    explicit CTestStream(const StreamSpec& shape);

    const StreamSpec& GetSpec() const { return m_shape; }
    const std::vector<Packet>& GetPackets() const { return m_vPackets; }
    const std::vector<StreamProgram>& GetPrograms() const { return m_vPrograms; }
    // The packets of one PID, in stream order.
    std::vector<Packet> GetPacketsOf(uint16_t nPid) const;
    bool WriteFile(const std::string& sPath) const;

private:
    void Build();

    StreamSpec m_shape;
    std::vector<StreamProgram> m_vPrograms;
    std::vector<Packet> m_vPackets;
};

// Writes one synthetic input per path, each of fSeconds at fBitRate, on PIDs
// apart from each other; every second input carries its PCR on its video PID.
// False (with the path on standard error) when a file cannot be written.
bool WriteInputs(const std::vector<std::string>& vPaths, double fSeconds, double fBitRate);

} // namespace tsb
