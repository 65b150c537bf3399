#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Makes the inputs of the end-to-end tests at test time: short streams from
// ffmpeg's test sources, and variants of them rewritten packet by packet.
// Every maker returns false when a tool or a file fails.
class CStreamMaker
{
public:
    static bool HaveFfmpeg();

    // A fresh directory for one test under the build tree.
    static std::string MakeWorkDir();

    // One program: MPEG-2 video + MP2 audio at nMuxRate bit/s, PCR on the video PID.
    static bool MakeMpeg2(const std::string& sPath, double fSeconds, int nMuxRate = 2'500'000);
    // One program: MPEG-2 video + MP2 audio at nBitRate bit/s with next to no
    // null packets (constant-rate video takes all but 1.2 Mbit/s of it).
    static bool MakeFullMpeg2(const std::string& sPath, double fSeconds, int nBitRate);
    // One program: H.264 video + AAC audio at 1.5 Mbit/s.
    static bool MakeH264(const std::string& sPath, double fSeconds);
    // The same at a variable rate, about 1.2 Mbit/s: only what the stream
    // carries, no null packets.
    static bool MakeH264Vbr(const std::string& sPath, double fSeconds);
    // nPrograms programs of MPEG-2 video + MP2 audio each, at 600 kbit/s a program.
    static bool MakePrograms(const std::string& sPath, double fSeconds, int nPrograms);
    // One program: MPEG-2 video + AC-3 audio tagged as German, written the DVB
    // way: stream_type 0x06 with registration, AC-3 and language descriptors.
    static bool MakeDvbAc3(const std::string& sPath, double fSeconds);
    // Three programs: video + audio, video + audio, video only.
    static bool MakeThreePrograms(const std::string& sPath, double fSeconds);

    // Moves the PCRs of program's PCR PID onto a PID of their own, announced in
    // the PMT; each PCR-only packet takes the place of a later null packet,
    // so the stream keeps its length and rate.
    static bool MovePcrToOwnPid(const std::string& sIn, const std::string& sOut,
                                uint16_t nNewPcrPid);
    // The PMT of a one-program stream names nPcrPid its PCR_PID; the PCRs
    // stay where they are.
    static bool NamePcrPid(const std::string& sIn, const std::string& sOut, uint16_t nPcrPid);
    // Leaves out every packet of a PID.
    static bool DropPid(const std::string& sIn, const std::string& sOut, uint16_t nPid);

    // Clears the PCR flag of every packet of a PID from a byte offset on: the
    // PMT still names it the PCR PID, but no PCR comes.
    static bool StripPcrs(const std::string& sIn, const std::string& sOut, uint16_t nPid,
                          size_t nFromByte = 0);

    static bool WriteFile(const std::string& sPath, const std::vector<uint8_t>& vBytes);
    static bool ReadFile(const std::string& sPath, std::vector<uint8_t>& vBytes);
};
