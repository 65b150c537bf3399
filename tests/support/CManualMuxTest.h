#pragma once

#include "mux/CMuxCore.h"
#include "os/CClock.h"
#include "support/CMuxTestKit.h"

#include <gtest/gtest.h>

#include <vector>

// An engine driven step by step on the test's thread, paced by a manual
// clock, writing into a vector sink.
class CManualMuxTest : public ::testing::Test
{
protected:
    void SetUpCore(float fRate, std::vector<CInputModuleIface*> vInputs = {})
    {
        m_core.SetClock(m_clock);
        m_core.SetOutputBitRate(fRate);
        m_core.SetOutPutModule(&m_sink);
        for (CInputModuleIface* pIn : vInputs) {
            m_core.AddInputModule(pIn);
        }
        ASSERT_TRUE(m_core.BuildPsi());
        m_core.StartPacing();
    }
    void StepMs(int nMs = 1)
    {
        m_clock.Advance(int64_t(nMs) * 1000);
        m_core.SendDuePackets();
    }

    os::CManualClock m_clock;
    mtk::CVectorSink m_sink;
    CMuxCore m_core;
};
