#pragma once

#include <cstdint>
#include <vector>

namespace tsb {

// A 188-byte stream rewritten in nStep-byte packets after nJunk bytes that
// hold no sync byte: 192 puts a running arrival timestamp before each packet,
// 204 puts 16 parity bytes after each.
std::vector<uint8_t> Reframe(const std::vector<uint8_t>& v188, int nStep, int nJunk = 0);

} // namespace tsb
