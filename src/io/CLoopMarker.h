#pragma once

#include "ts/TsConstants.h"

#include <cstddef>
#include <vector>

// Makes the seam of a looping file input visible as signalled
// discontinuities: on every pass after the first, the first packet of each
// PID gets discontinuity_indicator set (its PCR and counter jump back), and
// a PID whose first packet has no adaptation field to carry the flag gets an
// adaptation-only packet before it, with the flag set and the counter just
// below that packet's, so that the counter runs on without a gap. Used by
// the file source's reader thread alone.
class CLoopMarker
{
public:
    CLoopMarker() : m_vSeen(kPidCount, true) {}

    // The next packet starts a new pass.
    void StartPass() { m_vSeen.assign(kPidCount, false); }
    // The next packet of this PID alone is marked as the first of a pass.
    void MarkPid(int nPid) { m_vSeen[std::size_t(nPid & (kPidCount - 1))] = false; }
    // A packet about to be handed on (188 bytes, marked in place). True when
    // the 188 bytes at pExtra must be handed on before it.
    bool Mark(unsigned char* pPacket, unsigned char* pExtra);

private:
    std::vector<bool> m_vSeen; // per PID: marked in this pass (all, before the second)
};
