// The receiving end of the pacing benchmark (bench/bench-pacing.sh): takes
// datagrams on 127.0.0.1 with the kernel's receive time of each and reports
// how evenly they came: largest gap, longest burst (datagrams within 0.2 ms
// of the one before), the spread around a steady line fitted to them, and
// gaps under half the spacing. Prints "port N" first, then waits until the
// sender has been silent for IDLE ms (or MAX s passed).
//
// usage: bm_udp_arrivals [idle ms=1500] [max s=120] [spacing ms=0: from the fit] [dump file]
// The dump has a line per datagram: arrival in ns, bytes.
#include "CTimedReceiver.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    const int nIdleMs = argc > 1 ? std::atoi(argv[1]) : 1500;
    const int nMaxS = argc > 2 ? std::atoi(argv[2]) : 120;
    const double fSpacingMs = argc > 3 ? std::atof(argv[3]) : 0;
    if (nIdleMs <= 0 || nMaxS <= 0 || fSpacingMs < 0) {
        std::fprintf(stderr, "usage: %s [idle ms] [max s] [spacing ms]\n", argv[0]);
        return 2;
    }
    CTimedReceiver receiver;
    if (!receiver.Open()) {
        std::perror("receiver");
        return 1;
    }
    std::printf("port %d\n", receiver.GetPort());
    std::fflush(stdout);
    receiver.Start();
    receiver.StopWhenIdle(nIdleMs, nMaxS * 1000);
    if (argc > 4) {
        FILE* pDump = std::fopen(argv[4], "w");
        for (const CArrival& a : receiver.GetArrivals()) {
            std::fprintf(pDump, "%lld %zu\n", static_cast<long long>(a.nNanos), a.vData.size());
        }
        std::fclose(pDump);
    }
    const CPacingFigures f = AnalyzePacing(receiver.GetArrivals(), fSpacingMs);
    size_t nBytes = 0;
    for (const CArrival& a : receiver.GetArrivals()) {
        nBytes += a.vData.size();
    }
    std::printf("datagrams %zu, %zu bytes, line %.0f bit/s, spacing %.3f ms\n", f.nDatagrams,
                nBytes, f.fRateBps, f.fSpacingMs);
    std::printf("largest gap %.3f ms, smallest %.3f ms, %d under half the spacing\n", f.fMaxGapMs,
                f.fMinGapMs, f.nCloserThanHalf);
    std::printf("longest burst %d datagrams (within 0.2 ms)\n", f.nLongestBurst);
    std::printf("spread around the line %.3f ms (sd %.3f ms)\n", f.fSpreadMs, f.fSpreadSdMs);
    return f.nDatagrams > 0 ? 0 : 1;
}
