#pragma once

#include "ts/TsSync.h"

#include <climits>

// Bit rate in bit/s of the 188-byte packets in a buffer that starts a
// stream, from the regular PCR steps (CPcrStepRate) of the first PID seen
// with a PCR; -1 when no estimate can be made (no packets, no PCR, or
// regular steps spanning one second or less). The packets are found with
// FindTsLayout; only whole packets are examined.
int EstimateTsBitRate(const unsigned char* pBuffer, int nLength);
// The same for a stream whose layout is known, over its first nMaxPackets
// packets at most.
int EstimateTsBitRate(const unsigned char* pBuffer, int nLength, const CTsLayout& layout,
                      int nMaxPackets = INT_MAX);
