#pragma once

#include <cstdint>
#include <vector>

// One output table: all its sections as TS packets of one PID, each section
// starting a packet (payload_unit_start_indicator, pointer_field 0), with
// continuity counter 0: whoever sends the table stamps the counters. Made by
// the table builder, a plain value after that: the carousel and the
// scheduler see tables only as this, never the library that wrote them.
struct CPsiTable
{
    uint16_t nPid = 0;
    uint8_t nTableId = 0;
    std::vector<uint8_t> vPackets; // kTsPacketSize * n bytes
};
