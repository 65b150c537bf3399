#pragma once

#include "ts/TsConstants.h"

#include <cstdint>

// One input packet with the time it is due, on its input's own timeline
// (27 MHz ticks, continuous across PCR wraps and discontinuities). An entry
// with nChange set is no packet but a marker: the input's tables changed
// here, so that the change reaches the muxer in order with the packets.
struct CTimedPacket
{
    static constexpr int32_t kNoMargin = INT32_MIN;

    int64_t nTime;
    uint32_t nChange = 0; // 0: a packet; else the sequence of the input's new tables
    // A PES start: its DTS (else PTS) less its program's PCR here, what a
    // decoder has before it needs the data; 90 kHz. kNoMargin: none.
    int32_t nMargin = kNoMargin;
    // Sent ahead of its turn by the consumer, which skips it at the head
    // (and clears the flag before it gives the entry back).
    bool bTaken = false;
    uint8_t vData[kTsPacketSize];
};
