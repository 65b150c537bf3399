// The bit-rate estimator over arbitrary buffers of any length. The bytes are
// copied into an allocation of exactly their size, so a read past the last
// whole packet is an address-sanitizer report.
#include "FuzzCheck.h"
#include "ts/SourceRate.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

// PCR steps are at most half a second, so even one packet per step gives
// 2 x 188 x 8 bit/s; any estimate below that is wrong arithmetic.
constexpr int kMinRate = 2 * kTsPacketSize * 8;

int EstimateCopy(const uint8_t* pData, size_t nSize)
{
    std::unique_ptr<unsigned char[]> pBuf(new unsigned char[nSize]);
    if (nSize > 0) {
        std::memcpy(pBuf.get(), pData, nSize);
    }
    return EstimateTsBitRate(pBuf.get(), int(nSize));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize > size_t(1) << 24) {
        return 0;
    }
    const int nRate = EstimateCopy(pData, nSize);
    FUZZ_CHECK(nRate == -1 || nRate >= kMinRate);
    // A trailing partial packet is not examined: the whole packets alone
    // give the same estimate.
    const size_t nWhole = nSize - nSize % kTsPacketSize;
    FUZZ_CHECK(EstimateCopy(pData, nWhole) == nRate);
    return 0;
}
