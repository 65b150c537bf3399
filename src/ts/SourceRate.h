#pragma once

#include "ts/TsConstants.h"

class CTsFileWalk;

// Bytes from a file's start that its rate is estimated from (20,480 packets
// of 188 bytes): a longer file is judged by them alone, so that the figure
// does not depend on how far anybody reads.
inline constexpr int kRateWindowBytes = 20'480 * kTsPacketSize;

// Bit rate in bit/s of the stream held in pBuffer[0, nLength), counted in
// 188-byte packets, from the regular PCR steps (CPcrStepRate) of the first
// PID seen with a PCR; -1 when no estimate can be made (no packets, no PCR,
// or regular steps spanning one second or less). The packets are found as
// the file reader finds them (CTsWalker); only whole packets are examined.
int EstimateTsBitRate(const unsigned char* pBuffer, int nLength);

// The same over the first kRateWindowBytes of an opened file (GetSourceRate);
// pPcrPid and pSeconds, when given, receive the PID measured and the PCR
// time its regular steps span. False on a read error.
bool EstimateWindowRate(CTsFileWalk& walk, int& nRate, int* pPcrPid = nullptr,
                        double* pSeconds = nullptr);
