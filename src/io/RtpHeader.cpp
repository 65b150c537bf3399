#include "io/RtpHeader.h"

#include "ts/TsConstants.h"

bool ParseRtpHeader(const uint8_t* p, int nLen, RtpFields& fields)
{
    if (nLen < kRtpHeaderBytes || (p[0] >> 6) != kRtpVersion) {
        return false;
    }
    const int nCsrcs = p[0] & 0x0F;
    int nHeader = kRtpHeaderBytes + 4 * nCsrcs;
    if ((p[0] & 0x10) != 0) {
        // Extension: 16-bit profile, 16-bit length in 32-bit words, data.
        if (nHeader + 4 > nLen) {
            return false;
        }
        nHeader += 4 + 4 * ((p[nHeader + 2] << 8) | p[nHeader + 3]);
    }
    int nPadding = 0;
    if ((p[0] & 0x20) != 0) {
        nPadding = p[nLen - 1];
        if (nPadding == 0) {
            return false; // the count includes itself
        }
    }
    if (nHeader + nPadding > nLen) {
        return false;
    }
    fields.nHeaderBytes = nHeader;
    fields.nPaddingBytes = nPadding;
    fields.nPayloadType = p[1] & 0x7F;
    fields.nSequence = static_cast<uint16_t>((p[2] << 8) | p[3]);
    fields.nTimestamp = (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) |
                        uint32_t(p[7]);
    return true;
}

void WriteRtpHeader(uint8_t* p, uint16_t nSequence, uint32_t nTimestamp, uint32_t nSsrc)
{
    p[0] = uint8_t(kRtpVersion << 6);
    p[1] = kRtpPayloadTypeMp2t;
    p[2] = uint8_t(nSequence >> 8);
    p[3] = uint8_t(nSequence);
    p[4] = uint8_t(nTimestamp >> 24);
    p[5] = uint8_t(nTimestamp >> 16);
    p[6] = uint8_t(nTimestamp >> 8);
    p[7] = uint8_t(nTimestamp);
    p[8] = uint8_t(nSsrc >> 24);
    p[9] = uint8_t(nSsrc >> 16);
    p[10] = uint8_t(nSsrc >> 8);
    p[11] = uint8_t(nSsrc);
}
