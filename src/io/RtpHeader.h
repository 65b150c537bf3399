#pragma once

#include <cstdint>

// The RTP header around TS payloads: what a network source strips and a
// network sink writes. Pure functions; no state.

struct RtpFields
{
    int nHeaderBytes;  // fixed part, CSRCs and extension: where the payload starts
    int nPaddingBytes; // at the end of the datagram, not payload
    uint8_t nPayloadType;
    uint16_t nSequence;
    uint32_t nTimestamp;
};

// False when the datagram is no RTP version 2 packet, or its header, CSRC
// list, extension or padding run past its nLen bytes.
bool ParseRtpHeader(const uint8_t* p, int nLen, RtpFields& fields);

// Version 2, no padding, extension or CSRCs, marker clear, MP2T payload.
void WriteRtpHeader(uint8_t* p, uint16_t nSequence, uint32_t nTimestamp, uint32_t nSsrc);
