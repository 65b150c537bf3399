#include "CMetricsText.h"

#include <gtest/gtest.h>

#include <string>

namespace {

CStatsFile::Run TwoInputs()
{
    CStatsFile::Run run;
    run.sOutput = "out.ts";
    run.fBitRate = 4548576;
    run.llPacketsWritten = 3'000'000'000LL; // past 32 bits, still a whole number
    run.fElapsed = 2.5;
    run.vInputs = {"a.ts", "b \"x\"\\\n.ts"};
    run.vEstimatedRates = {2'000'000, -1};
    return run;
}

bool Has(const std::string& sText, const std::string& sLine)
{
    return sText.find("\n" + sLine + "\n") != std::string::npos;
}

} // namespace

// Before the engine has figures only what the program knows is given, and
// a figure not known yet has no sample rather than a made-up value.
TEST(CMetricsTextTest, BeforeTheEngineOnlyWhatTheProgramKnows)
{
    const std::string sText = CMetricsText::Format(TwoInputs(), nullptr);
    EXPECT_TRUE(
        Has(sText, R"(braidmill_output_written_packets_total{output="out.ts"} 3000000000)"));
    EXPECT_TRUE(Has(sText, R"(braidmill_run_elapsed_seconds{output="out.ts"} 2.5)"));
    EXPECT_TRUE(Has(sText, "# TYPE braidmill_input_estimated_bit_rate gauge"));
    EXPECT_TRUE(Has(sText, R"(braidmill_input_estimated_bit_rate{input="1",path="a.ts"} 2000000)"));
    EXPECT_EQ(sText.find("input=\"2\""), std::string::npos) << sText;
    EXPECT_EQ(sText.find("braidmill_output_packets_total"), std::string::npos) << "no HELP either";
}

TEST(CMetricsTextTest, EveryInputAndProgramHasItsSamples)
{
    _MUX_STATS stats{};
    stats.llSlots = 1000;
    stats.llNullSlots = 250;
    stats.vInputs = {{10, 9, 1, 2, 3, 4, 2'000'000}, {20, 19, 0, 0, 0, 0, -1}};
    stats.vPrograms = {{101, 1, 500, 25, 39'500, 0, 12'500, 450'000, 1012},
                       {201, 2, 400, 20, -1, 7, 0, -1, 0x1FFF}};
    const std::string sText = CMetricsText::Format(TwoInputs(), &stats);

    EXPECT_TRUE(Has(sText, R"(braidmill_output_null_ratio{output="out.ts"} 0.25)"));
    EXPECT_TRUE(Has(sText, "# TYPE braidmill_input_late_packets_total counter"));
    EXPECT_TRUE(Has(sText, R"(braidmill_input_late_packets_total{input="1",path="a.ts"} 2)"));
    // Quote, backslash and newline escaped as the format asks.
    const std::string sSecond = R"({input="2",path="b \"x\"\\\n.ts"})";
    EXPECT_TRUE(Has(sText, "braidmill_input_read_packets_total" + sSecond + " 20")) << sText;
    EXPECT_EQ(sText.find("braidmill_input_bit_rate" + sSecond), std::string::npos);
    EXPECT_TRUE(Has(sText, R"(braidmill_program_packets_total{program="201",input="2"} 400)"));
    EXPECT_TRUE(Has(sText, "braidmill_program_max_pcr_interval_seconds"
                           R"({program="101",input="1"} 0.0395)"));
    EXPECT_TRUE(Has(sText, R"(braidmill_program_late_packets_total{program="201",input="2"} 7)"));
    EXPECT_TRUE(Has(sText, "braidmill_program_max_delay_seconds"
                           R"({program="101",input="1"} 0.0125)"));
    EXPECT_EQ(sText.find("braidmill_program_decoding_margin_seconds" R"({program="201")"),
              std::string::npos)
        << "a margin not known has no sample";
    EXPECT_EQ(sText.find(R"(max_pcr_interval_seconds{program="201")"), std::string::npos);

    stats.llSlots = 0; // no share of nothing
    EXPECT_EQ(CMetricsText::Format(TwoInputs(), &stats).find("null_ratio{"), std::string::npos);
}
