#pragma once

#include "ts/CTsPacket.h"
#include "ts/TsConstants.h"

#include <cstdint>

// An input's PID map: kPidCount entries, the output PID of each input PID,
// -1 where it has none. Both consumers of an input's queue (the scheduler
// and a client draining the input itself) rewrite packets through these, so
// that a packet leaves on the same PID whichever of them takes it.

// The output PID of the packet at p; an untranslated entry (-1) gives the
// null PID, so that what leaves before the map is written is dropped
// downstream rather than sent on a PID of another program.
inline int MapPid(const int* pPidMap, const uint8_t* p)
{
    return pPidMap[CTsPacket::PidOf(p)] & (kPidCount - 1);
}

// Rewrites the packet at p to its output PID in place (the flag bits beside
// the PID stay) and returns that PID.
inline int RemapPid(const int* pPidMap, uint8_t* p)
{
    const int nOutPid = MapPid(pPidMap, p);
    p[1] = uint8_t((p[1] & 0xE0) | (nOutPid >> 8));
    p[2] = uint8_t(nOutPid & 0xFF);
    return nOutPid;
}
