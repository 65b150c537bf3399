// --programs: services chosen from an input, and output numbers asked for.
#include "CSamplePairTest.h"
#include "CStreamMaker.h"
#include "CToolRun.h"
#include "support/CTsReader.h"
#include "ts/TsConstants.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

class BraidmillProgramsTest : public CSamplePairTest
{
};

} // namespace

// Two of thirteen programs, one with the number asked for: the only
// programs out, every packet of their streams on its new PID and no other
// PID of the input; the output rate counts them alone. A program the input
// does not carry is said once and the run goes on.
TEST_F(BraidmillProgramsTest, TwoOfThirteenComeOutAloneWithTheNumbersAsked)
{
    const std::string sMany = m_sDir + "/thirteen.ts", sOut = m_sDir + "/out.ts";
    ASSERT_TRUE(CStreamMaker::MakePrograms(sMany, 2.0, 13));
    const ToolResult run = Mux({"--fast", "-o", sOut, "--programs", "4,99,9:205", sMany});
    ASSERT_EQ(run.nStatus, 0) << run.sErr;
    const std::string sLines = run.sErr + run.sOut;
    const std::string sAbsent = "input 1: program 99 was chosen, but its PAT has no such program";
    const size_t nAt = sLines.find(sAbsent);
    ASSERT_NE(nAt, std::string::npos) << sLines;
    EXPECT_EQ(sLines.find(sAbsent, nAt + 1), std::string::npos) << "said once";

    tsr::CTsReader in, out;
    ASSERT_TRUE(in.LoadFile(sMany));
    ASSERT_TRUE(out.LoadFile(sOut));
    EXPECT_EQ(out.GetPat().programs, (std::map<uint16_t, uint16_t>{{101, 1011}, {205, 1021}}));
    // Packets with payload: at a lower rate the muxer may add PCR-only ones.
    auto Payloads = [](const tsr::CTsReader& reader, uint16_t nPid) {
        size_t n = 0;
        for (const tsr::Bytes& p : reader.GetPackets(nPid)) {
            n += (p[3] & 0x10) != 0 ? 1 : 0;
        }
        return n;
    };
    const std::map<uint16_t, size_t> outCounts = out.GetPidCounts();
    std::set<uint16_t> allowed{kPidPat, kPidNit, kPidSdt, kPidNull, 1011, 1021};
    for (const auto& [nOut, nIn] : {std::pair<int, int>{101, 4}, std::pair<int, int>{205, 9}}) {
        const tsr::Pmt* pIn = in.FindPmt(uint16_t(nIn));
        const tsr::Pmt* pOut = out.FindPmt(uint16_t(nOut));
        ASSERT_NE(pIn, nullptr);
        ASSERT_NE(pOut, nullptr);
        ASSERT_EQ(pOut->streams.size(), pIn->streams.size());
        for (size_t k = 0; k < pIn->streams.size(); ++k) {
            const uint16_t nOutPid = pOut->streams[k].nPid;
            EXPECT_EQ(Payloads(out, nOutPid), Payloads(in, pIn->streams[k].nPid)) << nOutPid;
            allowed.insert(nOutPid);
        }
    }
    for (const auto& [nPid, nCount] : outCounts) {
        EXPECT_EQ(allowed.count(nPid), 1u) << "PID " << nPid << ": " << nCount << " packets";
    }
    // The share the rate counts is taken the same way on every run.
    EXPECT_LT(CToolRun::OutputRateOf(run), DefaultMuxRate({sMany}) / 2);
    const std::string sAgain = m_sDir + "/again.ts";
    ASSERT_EQ(Mux({"--fast", "-o", sAgain, "--programs", "4,99,9:205", sMany}).nStatus, 0);
    std::vector<uint8_t> vFirst, vAgain;
    ASSERT_TRUE(CStreamMaker::ReadFile(sOut, vFirst));
    ASSERT_TRUE(CStreamMaker::ReadFile(sAgain, vAgain));
    EXPECT_TRUE(vFirst == vAgain) << "a --fast run with --programs differs from the one before";
}
