#pragma once

// Bit rate in bit/s of the packets in a buffer that starts on a packet
// boundary, from the PCRs of the first PID seen with one; -1 when no
// estimate can be made (no PCR, a PCR step below 0 or above half a second,
// or a span of one second or less). Only whole packets are examined.
int EstimateTsBitRate(const unsigned char* pBuffer, int nLength);
