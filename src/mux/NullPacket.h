#pragma once

#include "ts/TsConstants.h"

#include <array>
#include <cstdint>

// The null packet as the muxer writes it: PID 0x1FFF, payload only, counter 0.
inline const uint8_t* NullPacket()
{
    static const std::array<uint8_t, kTsPacketSize> kNull = [] {
        std::array<uint8_t, kTsPacketSize> v;
        v.fill(0xFF);
        v[0] = kSyncByte;
        v[1] = uint8_t(kPidNull >> 8);
        v[2] = uint8_t(kPidNull & 0xFF);
        v[3] = 0x10;
        return v;
    }();
    return kNull.data();
}
