// Writes a constant-rate input of many small programs (CHeadEndStream) for
// the load benchmark.
// Usage: bm_headend_maker OUT.ts [PROGRAMS [SECONDS [BITRATE [PCR_MS]]]] [--pcr-pid-none]
#include "support/CHeadEndStream.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: bm_headend_maker OUT.ts [PROGRAMS [SECONDS [BITRATE [PCR_MS]]]] "
                     "[--pcr-pid-none]\n");
        return 2;
    }
    tsb::HeadEndShape shape;
    int nArg = 0;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--pcr-pid-none") == 0) {
            shape.bDeclarePcrPid = false;
            continue;
        }
        switch (nArg++) {
        case 0: shape.nPrograms = std::atoi(argv[i]); break;
        case 1: shape.fSeconds = std::atof(argv[i]); break;
        case 2: shape.nBitRate = std::atoll(argv[i]); break;
        case 3: shape.nPcrMs = std::atoi(argv[i]); break;
        default: break;
        }
    }
    if (!tsb::CHeadEndStream(shape).WriteFile(argv[1])) {
        std::fprintf(stderr, "bm_headend_maker: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
