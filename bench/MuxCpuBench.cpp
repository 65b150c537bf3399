// Measures what a multiplex costs the processor: two synthetic inputs near
// 3 Mbit/s each, multiplexed in real time through the exported classes, and
// the process CPU time (every thread: readers, mux, output) per second of
// output.
//
// usage: bm_mux_cpu_bench [seconds=20] [input bit/s=3000000] [output rate=8]
#include "braidmill.h"

#include "support/CTestStream.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long long FileBytes(const std::string& sPath)
{
    FILE* pFile = std::fopen(sPath.c_str(), "rb");
    if (pFile == nullptr) {
        return -1;
    }
    std::fseek(pFile, 0, SEEK_END);
    const long long nBytes = std::ftell(pFile);
    std::fclose(pFile);
    return nBytes;
}

} // namespace

int main(int argc, char** argv)
{
    const double fSeconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const double fInputRate = argc > 2 ? std::atof(argv[2]) : 3'000'000.0;
    const float fOutRate = argc > 3 ? float(std::atof(argv[3])) : 8.0f;
    if (!(fSeconds > 0) || !(fInputRate > 0) || !(fOutRate > 0)) {
        std::fprintf(stderr, "usage: %s [seconds] [input bit/s] [output rate]\n", argv[0]);
        return 2;
    }

    const std::string sDir = "/tmp/braidmill-bench-" + std::to_string(getpid());
    const std::vector<std::string> vInputs = {sDir + "-a.ts", sDir + "-b.ts"};
    const std::string sOutput = sDir + "-out.ts";
    if (!tsb::WriteInputs(vInputs, fSeconds, fInputRate)) {
        return 1;
    }

    double fCpuStart = 0;
    double fSetupCpu = CpuSeconds();
    auto wallStart = std::chrono::steady_clock::now();
    bool bFailed = false;
    {
        // The engine takes its ring memory once; that is set-up, not the
        // cost of running.
        CMuxIface mux;
        COutPutModuleFile output;
        fCpuStart = CpuSeconds();
        fSetupCpu = fCpuStart - fSetupCpu;
        wallStart = std::chrono::steady_clock::now();
        std::vector<CInputModuleIface*> vModules;
        std::vector<CSourceFile*> vSources;
        for (const std::string& sPath : vInputs) {
            auto* pModule = new CInputModuleIface;
            pModule->SetSourceAttribute(_SOURCE_ATTRIBUTE{0, 0, 0});
            auto* pSource = new CSourceFile;
            pSource->InitBuffer(20480 * 188);
            pSource->SetRecvModule(pModule);
            if (pSource->OpenFile(sPath.c_str()) != 0) {
                std::fprintf(stderr, "cannot open %s\n", sPath.c_str());
                return 1;
            }
            pSource->StartRead();
            vModules.push_back(pModule);
            vSources.push_back(pSource);
        }
        if (output.OpenFile(sOutput.c_str()) != 0) {
            std::fprintf(stderr, "cannot open %s\n", sOutput.c_str());
            return 1;
        }
        mux.SetOutputBitRate(fOutRate);
        mux.SetOutPutModule(&output);
        for (CInputModuleIface* pModule : vModules) {
            mux.AddInputModule(pModule);
        }
        mux.Run();
        mux.WaitFinish();
        bFailed = mux.IsFailed() || output.HasWriteError();
        for (CSourceFile* pSource : vSources) {
            delete pSource;
        }
        for (CInputModuleIface* pModule : vModules) {
            delete pModule;
        }
        output.Destroy();
    }
    const double fCpu = CpuSeconds() - fCpuStart;
    const double fWall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    const long long nOutBytes = FileBytes(sOutput);
    const double fOutSeconds = double(nOutBytes) * 8.0 / (double(fOutRate) * 1048576.0);

    for (const std::string& sPath : vInputs) {
        std::remove(sPath.c_str());
    }
    std::remove(sOutput.c_str());
    if (bFailed || nOutBytes <= 0) {
        std::fprintf(stderr, "the multiplex failed\n");
        return 1;
    }
    std::printf("output %.2f s (%lld bytes) in %.2f s wall; CPU %.3f s: %.2f%% of one core per "
                "second of output (engine set-up %.3f s CPU besides)\n",
                fOutSeconds, nOutBytes, fWall, fCpu, 100.0 * fCpu / fOutSeconds, fSetupCpu);
    return 0;
}
