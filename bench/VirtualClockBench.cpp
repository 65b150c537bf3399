// Speed of the output-time mode: two synthetic inputs multiplexed file to
// file through the exported classes as fast as the machine goes, reported
// as output packets per second of wall time (engine set-up excluded).
//
// usage: bm_vclock_bench [seconds=60] [input bit/s=3000000] [sink: file|discard]
#include "braidmill.h"

#include "support/CTestStream.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Counts and forgets, to tell the engine's cost from the file's.
class CDiscardSink : public COutPutModuleBase
{
public:
    void RenderOnePacket(unsigned char* pPacket) override
    {
        m_nPackets += 1;
        m_nCheck += pPacket[3];
    }
    void Destroy() override {}
    long long m_nPackets = 0;
    unsigned m_nCheck = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const double fSeconds = argc > 1 ? std::atof(argv[1]) : 60.0;
    const double fInputRate = argc > 2 ? std::atof(argv[2]) : 3'000'000.0;
    const bool bDiscard = argc > 3 && std::strcmp(argv[3], "discard") == 0;
    if (!(fSeconds > 0) || !(fInputRate > 0)) {
        std::fprintf(stderr, "usage: %s [seconds] [input bit/s] [file|discard]\n", argv[0]);
        return 2;
    }

    const std::string sDir = "/tmp/braidmill-vbench-" + std::to_string(getpid());
    const std::vector<std::string> vInputs = {sDir + "-a.ts", sDir + "-b.ts"};
    const std::string sOutput = sDir + "-out.ts";
    if (!tsb::WriteInputs(vInputs, fSeconds, fInputRate)) {
        return 1;
    }
    // As the console program chooses it: the inputs' rates plus one unit.
    float fOutRate = 1.0f;
    for (const std::string& sPath : vInputs) {
        fOutRate += float(double(GetSourceRate(sPath.c_str())) / 1024 / 1024);
    }

    long long nPackets = 0;
    double fWall = 0;
    bool bFailed = false;
    {
        CMuxIface mux; // takes its ring memory here: set-up, not measured
        COutPutModuleFile fileSink;
        CDiscardSink discardSink;
        const auto wallStart = std::chrono::steady_clock::now();
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
        if (!bDiscard && fileSink.OpenFile(sOutput.c_str()) != 0) {
            std::fprintf(stderr, "cannot open %s\n", sOutput.c_str());
            return 1;
        }
        mux.SetOutputBitRate(fOutRate);
        mux.SetOutPutModule(bDiscard ? static_cast<COutPutModuleBase*>(&discardSink)
                                     : static_cast<COutPutModuleBase*>(&fileSink));
        mux.SetVirtualClock(true);
        for (CInputModuleIface* pModule : vModules) {
            mux.AddInputModule(pModule);
        }
        mux.Run();
        mux.WaitFinish();
        fileSink.Destroy();
        fWall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
        bFailed = mux.IsFailed() || fileSink.HasWriteError();
        for (CSourceFile* pSource : vSources) {
            delete pSource;
        }
        for (CInputModuleIface* pModule : vModules) {
            delete pModule;
        }
        nPackets = discardSink.m_nPackets;
    }
    if (!bDiscard) {
        FILE* pFile = std::fopen(sOutput.c_str(), "rb");
        if (pFile != nullptr) {
            std::fseek(pFile, 0, SEEK_END);
            nPackets = std::ftell(pFile) / 188;
            std::fclose(pFile);
        }
    }
    for (const std::string& sPath : vInputs) {
        std::remove(sPath.c_str());
    }
    std::remove(sOutput.c_str());
    if (bFailed || nPackets <= 0) {
        std::fprintf(stderr, "the multiplex failed\n");
        return 1;
    }
    const double fOutSeconds = double(nPackets) * 188 * 8 / (double(fOutRate) * 1048576.0);
    std::printf("rate %.2f: %lld packets (%.1f s of output) in %.3f s wall to %s: "
                "%.2f million packets/s, %.0fx real time\n",
                double(fOutRate), nPackets, fOutSeconds, fWall, bDiscard ? "nothing" : "a file",
                double(nPackets) / fWall / 1e6, fOutSeconds / fWall);
    return 0;
}
