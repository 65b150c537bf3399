#include "mux/CInputWatch.h"

void CInputWatch::AddInput(bool bJoining)
{
    CInput in;
    in.state = bJoining ? EState::kJoining : EState::kUp;
    m_vInputs.push_back(in);
}

CInputWatch::EChange CInputWatch::Look(size_t i, const CLook& look, int64_t nNowMicros)
{
    CInput& in = m_vInputs[i];
    if (in.nSince < 0) {
        in.nSince = nNowMicros;
        in.nRead = look.nRead;
    }
    const bool bProgress = look.nRead != in.nRead;
    const int64_t nSilent = nNowMicros - in.nSince; // before this look
    if (bProgress) {
        in.nRead = look.nRead;
        in.nSince = nNowMicros;
    }
    if (look.bEnded) {
        return EChange::kNone;
    }
    switch (in.state) {
    case EState::kJoining:
        if (!look.bReady) {
            return EChange::kNone;
        }
        in.state = EState::kUp;
        return EChange::kJoined;
    case EState::kDown:
        if (!bProgress) {
            return EChange::kNone;
        }
        in.state = EState::kUp;
        in.nAway = nSilent;
        return EChange::kBack;
    case EState::kStalled:
        if (bProgress) {
            in.state = EState::kUp;
            return EChange::kNone;
        }
        if (!look.bQueued && nSilent >= m_nTimeout) {
            in.state = EState::kDown; // it was not waited for already
            return EChange::kDown;
        }
        return EChange::kNone;
    case EState::kUp:
        break;
    }
    const bool bSilent = !bProgress && !look.bQueued && nSilent >= m_nTimeout;
    if (look.bSourceDown || (bSilent && (look.bLive || look.bWaiting))) {
        in.state = EState::kDown;
        in.nWaitSince = -1;
        return EChange::kDown;
    }
    // An empty pipe holds the whole output for a moment only.
    if (look.bStarved && look.bWaiting && !look.bQueued && !bProgress) {
        if (in.nWaitSince < 0) {
            in.nWaitSince = nNowMicros;
        }
        if (nNowMicros - in.nWaitSince >= m_nGrace) {
            in.state = EState::kStalled;
            in.nWaitSince = -1;
            return EChange::kStalled;
        }
    } else {
        in.nWaitSince = -1;
    }
    return EChange::kNone;
}
