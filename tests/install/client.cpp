// An installed library's client: muxes two TS files into a third with the
// public classes only, in output time, and exits 0 when the multiplex was
// written. Built once through pkg-config and once through the CMake package.
#include <braidmill.h>

#include <cstdio>

#if !defined(BRAIDMILL_VERSION_MAJOR) || BRAIDMILL_VERSION_MAJOR < 1
#error "braidmill.h carries no version"
#endif

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: client in1 in2 out\n");
        return 2;
    }
    const int vRates[2] = {GetSourceRate(argv[1]), GetSourceRate(argv[2])};
    if (vRates[0] <= 0 || vRates[1] <= 0) {
        std::fprintf(stderr, "client: no rate for an input\n");
        return 1;
    }
    COutPutModuleFile* pSink = new COutPutModuleFile();
    if (pSink->OpenFile(argv[3]) != 0) {
        delete pSink;
        return 1;
    }
    CSourceFile* vSources[2] = {new CSourceFile(), new CSourceFile()};
    CInputModuleIface* vInputs[2] = {new CInputModuleIface(), new CInputModuleIface()};
    CMuxIface* pMux = new CMuxIface();
    bool bOpen = true;
    for (int i = 0; i < 2; ++i) {
        vInputs[i]->SetSourceAttribute(_SOURCE_ATTRIBUTE{0, 0, 0});
        vSources[i]->InitBuffer(188 * 1024);
        vSources[i]->SetRecvModule(vInputs[i]);
        bOpen = bOpen && vSources[i]->OpenFile(argv[1 + i]) == 0;
        vSources[i]->StartRead();
        pMux->AddInputModule(vInputs[i]);
    }
    pMux->SetOutputBitRate(float((vRates[0] + vRates[1]) / 1048576.0 + 1));
    pMux->SetOutPutModule(pSink);
    pMux->SetVirtualClock(true);
    pMux->Run();
    const bool bFailed = !bOpen || pMux->IsFailed();
    if (!pMux->IsFailed()) {
        pMux->WaitFinish();
    }
    for (CInputModuleIface* pInput : vInputs) {
        pInput->AbortWait();
    }
    for (int i = 0; i < 2; ++i) {
        delete vSources[i];
        delete vInputs[i];
    }
    pSink->Destroy();
    const bool bWriteError = pSink->HasWriteError();
    delete pSink;
    delete pMux;
    std::printf("client: braidmill %s, %s\n", BRAIDMILL_VERSION_STRING,
                bFailed || bWriteError ? "failed" : "done");
    return bFailed || bWriteError ? 1 : 0;
}
