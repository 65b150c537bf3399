#pragma once

// Where the transport packets of a byte stream lie. The file reader and both
// rate estimators find a stream's first packet with FindTsLayout, so that
// they skip the same leading bytes and agree on the packet size.

#include <string>

// Every nStep bytes a 188-byte packet (192: a 4-byte timestamp before it;
// 204: 16 bytes of parity after it), the first one's sync byte at nFirst.
struct CTsLayout
{
    int nStep = 0;   // bytes from one sync byte to the next: 188, 192 or 204
    int nFirst = -1; // offset of the first packet's sync byte
};

enum class ESync {
    kFound,    // aligned at the position returned
    kNeedMore, // undecided from the position returned; read on
    kNone      // no alignment in what is left of the stream
};

// Searches pData[nFrom, nTotal) for an offset where the sync byte repeats at
// steps of nStep nConfirm times. At the end of the stream (bFinal) fewer
// confirmations are accepted where it is too short for more.
ESync FindSync(const unsigned char* pData, int nFrom, int nTotal, int nStep, int nConfirm,
               bool bFinal, int& nAt);

// Finds the first packet among a stream's first bytes pData[0, nLength): the
// first offset below kSyncSearchBytes where the sync byte repeats
// kSyncConfirmPackets times at steps of 188, 204 or 192 bytes; where more
// than one fits, the step at which it keeps repeating longer (188, then 204,
// on a tie). A
// caller reads kSyncProbeBytes, or the whole stream when it is shorter
// (bEnd: short streams confirm with what they hold), so that every caller
// finds the same. False when no offset qualifies.
bool FindTsLayout(const unsigned char* pData, int nLength, bool bEnd, CTsLayout& layout);

// Why FindTsLayout found nothing, naming what the stream starts with: "no
// transport-stream packets found in the first N bytes (first bytes 0x.. ...)".
std::string DescribeNoPackets(const unsigned char* pData, int nLength);
