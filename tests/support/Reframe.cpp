#include "support/Reframe.h"

#include <cstddef>

namespace tsb {

std::vector<uint8_t> Reframe(const std::vector<uint8_t>& v188, int nStep, int nJunk)
{
    std::vector<uint8_t> vOut;
    for (int i = 0; i < nJunk; ++i) {
        vOut.push_back(static_cast<uint8_t>(i * 13 % 0x40));
    }
    uint32_t nStamp = 0x12345678; // 27 MHz ticks; the top two bits are copy flags
    for (size_t nPos = 0; nPos + 188 <= v188.size(); nPos += 188) {
        if (nStep == 192) {
            nStamp += 5000;
            const uint8_t vStamp[4] = {
                static_cast<uint8_t>((nStamp >> 24) & 0x3F), static_cast<uint8_t>(nStamp >> 16),
                static_cast<uint8_t>(nStamp >> 8), static_cast<uint8_t>(nStamp)};
            vOut.insert(vOut.end(), vStamp, vStamp + 4);
        }
        const auto itPacket = v188.begin() + static_cast<std::ptrdiff_t>(nPos);
        vOut.insert(vOut.end(), itPacket, itPacket + 188);
        vOut.insert(vOut.end(), static_cast<size_t>(nStep == 204 ? 16 : 0), 0x5A);
    }
    return vOut;
}

} // namespace tsb
