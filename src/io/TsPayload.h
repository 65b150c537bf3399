#pragma once

#include <cstdint>

// Why a datagram or message cannot be handed on as TS packets: null when it
// is whole 188-byte packets each starting with its sync byte, else the
// reason for the log line. Network sources drop such payloads whole rather
// than pass on a packet boundary they cannot trust.
const char* CheckTsPayload(const uint8_t* pData, int nLen);
