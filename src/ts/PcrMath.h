#pragma once

#include "ts/TsConstants.h"

#include <cstdint>

// PCR arithmetic modulo the wrap of the 33-bit base (kPcrModulo ticks).

// Reduces any value into 0 .. kPcrModulo-1.
inline int64_t PcrWrap(int64_t nPcr) noexcept
{
    const int64_t n = nPcr % kPcrModulo;
    return n < 0 ? n + kPcrModulo : n;
}

// Ticks from nFrom forward to nTo, across the wrap: 0 .. kPcrModulo-1. A step
// backwards therefore reads as almost a whole wrap.
inline int64_t PcrForwardDelta(int64_t nFrom, int64_t nTo) noexcept
{
    // Reduce first so that the difference cannot overflow on garbage input.
    return PcrWrap(PcrWrap(nTo) - PcrWrap(nFrom));
}

// nPcr + nTicks, wrapped.
inline int64_t PcrAdd(int64_t nPcr, int64_t nTicks) noexcept
{
    return PcrWrap(PcrWrap(nPcr) + PcrWrap(nTicks));
}

// True when nNow does not continue the time base of nLast: a step backwards
// that is not the wrap of the 33-bit base, or a forward step of more than a
// second. Negative values (no PCR) never make a jump.
inline bool IsPcrJump(int64_t nLast, int64_t nNow) noexcept
{
    if (nLast < 0 || nNow < 0) {
        return false;
    }
    return PcrForwardDelta(nLast, nNow) > kPcrMaxStep;
}
