#include "ts/TsSync.h"

#include "ts/TsConstants.h"

#include <algorithm>
#include <cstdio>

namespace {

// Bytes of the stream start named when no packets are found.
constexpr int kShownBytes = 8;
// Packets compared when more than one packet size, or more than one
// alignment of a 192-byte stream, fits the first packets.
constexpr int kRunLimit = 1024;
constexpr int kM2tsHeaderBytes =
    kM2tsPacketSize - kTsPacketSize; // the timestamp before each packet

enum class EConfirm { kYes, kNo, kNeedMore };

EConfirm Confirm(const unsigned char* pData, int nOffset, int nTotal, int nStep, int nConfirm,
                 bool bFinal)
{
    for (int k = 1; k < nConfirm; ++k) {
        const long long llNext = nOffset + static_cast<long long>(k) * nStep;
        if (llNext >= nTotal) {
            return bFinal ? EConfirm::kYes : EConfirm::kNeedMore;
        }
        if (pData[llNext] != kSyncByte) {
            return EConfirm::kNo;
        }
    }
    return EConfirm::kYes;
}

// Consecutive sync bytes at steps of nStep from nOffset, up to kRunLimit.
int RunLength(const unsigned char* pData, int nOffset, int nTotal, int nStep)
{
    int nRun = 0;
    for (long long llAt = nOffset; llAt < nTotal && nRun < kRunLimit; llAt += nStep) {
        if (pData[llAt] != kSyncByte) {
            break;
        }
        ++nRun;
    }
    return nRun;
}

// In a 192-byte stream a timestamp byte can read 0x47 for many packets in a
// row (its second byte for 2.4 ms at a time, its first for longer), so the
// first confirmed offset may sit in the timestamp. The sync byte is within
// the next four bytes then, and it is the one that keeps repeating longest;
// on a tie the later one, as a header byte after the sync byte cannot keep
// 0x47 for long (the flags and PID of every packet would have to match).
int SettleM2tsSync(const unsigned char* pData, int nAt, int nTotal)
{
    int nBest = nAt;
    int nBestRun = RunLength(pData, nAt, nTotal, kM2tsPacketSize);
    for (int d = 1; d <= kM2tsHeaderBytes && nAt + d < nTotal; ++d) {
        const int nRun = RunLength(pData, nAt + d, nTotal, kM2tsPacketSize);
        if (nRun >= nBestRun) {
            nBest = nAt + d;
            nBestRun = nRun;
        }
    }
    return nBest;
}

} // namespace

ESync FindSync(const unsigned char* pData, int nFrom, int nTotal, int nStep, int nConfirm,
               bool bFinal, int& nAt)
{
    for (int nOffset = nFrom; nOffset < nTotal; ++nOffset) {
        if (pData[nOffset] != kSyncByte) {
            continue;
        }
        const EConfirm confirm = Confirm(pData, nOffset, nTotal, nStep, nConfirm, bFinal);
        if (confirm == EConfirm::kNo) {
            continue;
        }
        if (confirm == EConfirm::kNeedMore) {
            nAt = nOffset;
            return ESync::kNeedMore;
        }
        if (bFinal && nOffset + kTsPacketSize > nTotal) {
            nAt = nTotal;
            return ESync::kNone; // only a partial packet is left
        }
        nAt = nStep == kM2tsPacketSize ? SettleM2tsSync(pData, nOffset, nTotal) : nOffset;
        return ESync::kFound;
    }
    nAt = nTotal;
    return bFinal ? ESync::kNone : ESync::kNeedMore;
}

bool FindTsLayout(const unsigned char* pData, int nLength, bool bEnd, CTsLayout& layout)
{
    if (pData == nullptr) {
        return false;
    }
    // 188 first: it is by far the most common.
    constexpr int kSteps[] = {kTsPacketSize, kRsPacketSize, kM2tsPacketSize};
    const int nSearch = std::min(nLength, kSyncSearchBytes);
    for (int nOffset = 0; nOffset < nSearch; ++nOffset) {
        if (pData[nOffset] != kSyncByte || nOffset + kTsPacketSize > nLength) {
            continue;
        }
        // Two sizes fit only where payload, parity or timestamp bytes read
        // 0x47 at the steps of the wrong one, which they cannot keep up as
        // long as the sync bytes do: the longer run wins, the earlier size on
        // a tie.
        int nBestStep = 0;
        int nBestRun = 0;
        for (const int nStep : kSteps) {
            if (Confirm(pData, nOffset, nLength, nStep, kSyncConfirmPackets, bEnd) !=
                EConfirm::kYes) {
                continue;
            }
            const int nRun = RunLength(pData, nOffset, nLength, nStep);
            if (nRun > nBestRun) {
                nBestStep = nStep;
                nBestRun = nRun;
            }
        }
        if (nBestStep != 0) {
            layout.nStep = nBestStep;
            layout.nFirst =
                nBestStep == kM2tsPacketSize ? SettleM2tsSync(pData, nOffset, nLength) : nOffset;
            return true;
        }
    }
    return false;
}

std::string DescribeNoPackets(const unsigned char* pData, int nLength)
{
    std::string sText = "no transport-stream packets found in the first " +
                        std::to_string(std::min(nLength, kSyncSearchBytes)) + " bytes";
    if (pData == nullptr || nLength <= 0) {
        return sText;
    }
    sText += " (first bytes";
    for (int i = 0; i < std::min(nLength, kShownBytes); ++i) {
        char szByte[8];
        std::snprintf(szByte, sizeof(szByte), " 0x%02X", pData[i]);
        sText += szByte;
    }
    return sText + ")";
}
