#pragma once

// One slot of the multiplex ring.
struct _MUX_TS_PKT_T
{
    unsigned char* pData;  // the slot's 188 bytes
    int nPcrPid;           // output PCR PID of the packet's program at a PES start, else -1
    long long llPtsDelta;  // PTS less the program's PCR, 90 kHz; -1 none
    long long llDtsDelta;  // DTS likewise; -1 none
};
