#include "io/TsPayload.h"

#include "ts/TsConstants.h"

const char* CheckTsPayload(const uint8_t* pData, int nLen)
{
    if (nLen <= 0 || nLen % kTsPacketSize != 0) {
        return "not whole TS packets";
    }
    for (int nOffset = 0; nOffset < nLen; nOffset += kTsPacketSize) {
        if (pData[nOffset] != kSyncByte) {
            return "no sync byte";
        }
    }
    return nullptr;
}
