#include "CStreamMaker.h"

#include "CToolRun.h"
#include "support/CTsReader.h"
#include "ts/CPsiSection.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#ifndef BM_E2E_WORK_DIR
#define BM_E2E_WORK_DIR "e2e-work"
#endif

namespace {

std::string Quote(const std::string& s)
{
    return "'" + s + "'";
}

std::string Seconds(double f)
{
    char sz[32];
    std::snprintf(sz, sizeof sz, "%.2f", f);
    return sz;
}

bool Ffmpeg(const std::string& sArgs, const std::string& sOut)
{
    return CToolRun::Shell("ffmpeg -nostdin -y -v error " + sArgs + " -f mpegts " + Quote(sOut)) ==
           0;
}

std::string Video(const char* szSource, const std::string& sSeconds)
{
    return std::string("-f lavfi -i ") + szSource + "=size=176x144:rate=25:duration=" + sSeconds +
           " ";
}

std::string Sine(int nFrequency, const std::string& sSeconds)
{
    return "-f lavfi -i sine=frequency=" + std::to_string(nFrequency) +
           ":sample_rate=48000:duration=" + sSeconds + " ";
}

void SetPid(uint8_t* p, uint16_t nPid)
{
    p[1] = uint8_t((p[1] & 0xE0) | (nPid >> 8));
    p[2] = uint8_t(nPid & 0xFF);
}

// Rewrites PCR_PID in a packet that starts a PMT section at byte 5, and its
// CRC_32. False when the section does not fit the packet.
bool SetPmtPcrPid(uint8_t* pPacket, uint16_t nPcrPid)
{
    uint8_t* pSec = pPacket + 5; // PCR_PID sits at section bytes 8-9
    const int nLen = 3 + (((pSec[1] & 0x0F) << 8) | pSec[2]);
    if (nLen > kTsPacketSize - 5) {
        return false;
    }
    pSec[8] = uint8_t((pSec[8] & 0xE0) | (nPcrPid >> 8));
    pSec[9] = uint8_t(nPcrPid & 0xFF);
    const uint32_t nCrc = Crc32Mpeg(pSec, nLen - 4);
    for (int b = 0; b < 4; ++b) {
        pSec[nLen - 4 + b] = uint8_t(nCrc >> (24 - 8 * b));
    }
    return true;
}

bool IsPmtStart(const uint8_t* p, uint16_t nPmtPid)
{
    return ((p[1] & 0x1F) << 8 | p[2]) == nPmtPid && (p[1] & 0x40) != 0 && (p[3] & 0x20) == 0 &&
           p[4] == 0;
}

} // namespace

bool CStreamMaker::HaveFfmpeg()
{
    return CToolRun::Shell("ffmpeg -version >/dev/null 2>&1") == 0 &&
           CToolRun::Shell("ffprobe -version >/dev/null 2>&1") == 0;
}

std::string CStreamMaker::MakeWorkDir()
{
    const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string sName = pInfo ? std::string(pInfo->test_suite_name()) + "." + pInfo->name() : "any";
    std::replace(sName.begin(), sName.end(), '/', '_');
    std::filesystem::path dir = std::filesystem::path(BM_E2E_WORK_DIR) / sName;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    std::filesystem::create_directories(dir, ec);
    return dir.string();
}

bool CStreamMaker::MakeMpeg2(const std::string& sPath, double fSeconds, int nMuxRate)
{
    std::string s = Seconds(fSeconds);
    return Ffmpeg(Video("testsrc", s) + Sine(440, s) +
                      "-c:v mpeg2video -b:v 1000k -minrate 1000k -maxrate 1000k -bufsize 1000k "
                      "-g 12 -c:a mp2 -b:a 128k -muxrate " +
                      std::to_string(nMuxRate),
                  sPath);
}

bool CStreamMaker::MakeFullMpeg2(const std::string& sPath, double fSeconds, int nBitRate)
{
    const std::string s = Seconds(fSeconds);
    const std::string sVideo = std::to_string((nBitRate - 1'200'000) / 1000) + "k";
    return Ffmpeg("-f lavfi -i testsrc=size=352x288:rate=25:duration=" + s + " " + Sine(440, s) +
                      "-c:v mpeg2video -b:v " + sVideo + " -minrate " + sVideo + " -maxrate " +
                      sVideo + " -bufsize 4000k -g 12 -c:a mp2 -b:a 128k -muxrate " +
                      std::to_string(nBitRate),
                  sPath);
}

bool CStreamMaker::MakeH264(const std::string& sPath, double fSeconds)
{
    std::string s = Seconds(fSeconds);
    return Ffmpeg(Video("testsrc2", s) + Sine(660, s) +
                      "-c:v libx264 -preset veryfast -b:v 600k -maxrate 600k -bufsize 600k "
                      "-g 25 -c:a aac -b:a 96k -muxrate 1500000",
                  sPath);
}

bool CStreamMaker::MakeH264Vbr(const std::string& sPath, double fSeconds)
{
    const std::string s = Seconds(fSeconds);
    return Ffmpeg("-f lavfi -i testsrc2=size=320x240:rate=25:duration=" + s + " " + Sine(660, s) +
                      "-c:v libx264 -preset veryfast -b:v 1000k -maxrate 1000k -bufsize 1000k "
                      "-g 25 -c:a aac -b:a 96k",
                  sPath);
}

bool CStreamMaker::MakePrograms(const std::string& sPath, double fSeconds, int nPrograms)
{
    const std::string s = Seconds(fSeconds);
    std::string sInputs, sMaps, sPrograms;
    for (int p = 0; p < nPrograms; ++p) {
        sInputs += Video("testsrc", s) + Sine(300 + 50 * p, s);
        sMaps += "-map " + std::to_string(2 * p) + " -map " + std::to_string(2 * p + 1) + " ";
        sPrograms += "-program program_num=" + std::to_string(p + 1) +
                     ":st=" + std::to_string(2 * p) + ":st=" + std::to_string(2 * p + 1) + " ";
    }
    return Ffmpeg(sInputs + sMaps +
                      "-c:v mpeg2video -b:v 300k -maxrate 300k -bufsize 300k -g 12 "
                      "-c:a mp2 -b:a 64k " +
                      sPrograms + "-muxrate " + std::to_string(nPrograms * 600'000),
                  sPath);
}

bool CStreamMaker::MakeDvbAc3(const std::string& sPath, double fSeconds)
{
    std::string s = Seconds(fSeconds);
    return Ffmpeg(Video("testsrc", s) + Sine(440, s) +
                      "-c:v mpeg2video -b:v 800k -minrate 800k -maxrate 800k -bufsize 800k "
                      "-g 12 -c:a ac3 -b:a 128k -metadata:s:a:0 language=deu "
                      "-mpegts_flags system_b -muxrate 1500000",
                  sPath);
}

bool CStreamMaker::MakeThreePrograms(const std::string& sPath, double fSeconds)
{
    std::string s = Seconds(fSeconds);
    return Ffmpeg(Video("testsrc", s) + Sine(440, s) + Video("testsrc2", s) + Sine(880, s) +
                      Video("smptebars", s) +
                      "-map 0 -map 1 -map 2 -map 3 -map 4 "
                      "-c:v mpeg2video -b:v 400k -maxrate 400k -bufsize 400k -g 12 "
                      "-c:a mp2 -b:a 64k "
                      "-program program_num=1:title=One:st=0:st=1 "
                      "-program program_num=2:title=Two:st=2:st=3 "
                      "-program program_num=3:title=Three:st=4 -muxrate 2000000",
                  sPath);
}

bool CStreamMaker::MovePcrToOwnPid(const std::string& sIn, const std::string& sOut,
                                   uint16_t nNewPcrPid)
{
    tsr::CTsReader reader;
    if (!reader.LoadFile(sIn) || reader.GetPmts().size() != 1) {
        return false;
    }
    const tsr::Pmt& pmt = reader.GetPmts().begin()->second;
    std::vector<uint8_t> vOut;
    int nDebt = 0; // PCR packets inserted that no null packet has made room for yet
    for (size_t i = 0; i < reader.GetPacketCount(); ++i) {
        std::vector<uint8_t> pkt(reader.GetPacket(i), reader.GetPacket(i) + kTsPacketSize);
        uint16_t nPid = reader.GetPid(i);
        bool bAf = pkt[3] & 0x20;
        if (nPid == kPidNull && nDebt > 0) {
            --nDebt;
            continue;
        }
        if (IsPmtStart(pkt.data(), pmt.nPmtPid) && !SetPmtPcrPid(pkt.data(), nNewPcrPid)) {
            return false;
        }
        if (nPid == pmt.nPcrPid && bAf && pkt[4] >= 7 && (pkt[5] & 0x10)) {
            std::vector<uint8_t> pcr(kTsPacketSize, 0xFF);
            pcr[0] = kSyncByte;
            SetPid(pcr.data(), nNewPcrPid);
            pcr[3] = 0x20; // adaptation field only; the counter stays 0
            pcr[4] = kTsPacketSize - 5;
            pcr[5] = uint8_t(0x10 | (pkt[5] & 0x80));
            std::copy(pkt.begin() + 6, pkt.begin() + 12, pcr.begin() + 6);
            vOut.insert(vOut.end(), pcr.begin(), pcr.end());
            ++nDebt;
            // Without its PCR the field keeps its length: what followed the
            // PCR moves up and stuffing fills the end.
            int nAfLen = pkt[4];
            pkt[5] &= uint8_t(~0x10);
            std::copy(pkt.begin() + 12, pkt.begin() + 5 + nAfLen, pkt.begin() + 6);
            std::fill(pkt.begin() + 5 + nAfLen - 6, pkt.begin() + 5 + nAfLen, 0xFF);
        }
        vOut.insert(vOut.end(), pkt.begin(), pkt.end());
    }
    return WriteFile(sOut, vOut);
}

bool CStreamMaker::NamePcrPid(const std::string& sIn, const std::string& sOut, uint16_t nPcrPid)
{
    tsr::CTsReader reader;
    if (!reader.LoadFile(sIn) || reader.GetPmts().size() != 1) {
        return false;
    }
    const uint16_t nPmtPid = reader.GetPmts().begin()->second.nPmtPid;
    std::vector<uint8_t> vOut;
    for (size_t i = 0; i < reader.GetPacketCount(); ++i) {
        std::vector<uint8_t> pkt(reader.GetPacket(i), reader.GetPacket(i) + kTsPacketSize);
        if (IsPmtStart(pkt.data(), nPmtPid) && !SetPmtPcrPid(pkt.data(), nPcrPid)) {
            return false;
        }
        vOut.insert(vOut.end(), pkt.begin(), pkt.end());
    }
    return WriteFile(sOut, vOut);
}

bool CStreamMaker::DropPid(const std::string& sIn, const std::string& sOut, uint16_t nPid)
{
    tsr::CTsReader reader;
    if (!reader.LoadFile(sIn)) {
        return false;
    }
    std::vector<uint8_t> vOut;
    for (size_t i = 0; i < reader.GetPacketCount(); ++i) {
        if (reader.GetPid(i) != nPid) {
            vOut.insert(vOut.end(), reader.GetPacket(i), reader.GetPacket(i) + kTsPacketSize);
        }
    }
    return WriteFile(sOut, vOut);
}

bool CStreamMaker::StripPcrs(const std::string& sIn, const std::string& sOut, uint16_t nPid,
                             size_t nFromByte)
{
    std::vector<uint8_t> v;
    if (!ReadFile(sIn, v)) {
        return false;
    }
    for (size_t at = nFromByte / kTsPacketSize * kTsPacketSize; at + kTsPacketSize <= v.size();
         at += kTsPacketSize) {
        uint8_t* p = &v[at];
        const uint16_t nThis = uint16_t(((p[1] & 0x1F) << 8) | p[2]);
        if (nThis == nPid && (p[3] & 0x20) != 0 && p[4] > 0) {
            p[5] &= uint8_t(~0x10); // PCR_flag off; its six bytes stay as stuffing
        }
    }
    return WriteFile(sOut, v);
}

bool CStreamMaker::WriteFile(const std::string& sPath, const std::vector<uint8_t>& vBytes)
{
    std::ofstream out(sPath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(vBytes.data()), std::streamsize(vBytes.size()));
    return bool(out);
}

bool CStreamMaker::ReadFile(const std::string& sPath, std::vector<uint8_t>& vBytes)
{
    std::ifstream in(sPath, std::ios::binary);
    vBytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return bool(in) || in.eof();
}
