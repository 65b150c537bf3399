#include "CMetricsText.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

// Reads the exposition text: every sample under its metric's HELP and TYPE,
// "name{labels} value" with quoted label values. Returns name{labels} -> value.
std::map<std::string, std::string> Samples(const std::string& sText)
{
    std::map<std::string, std::string> samples;
    std::set<std::string> help;
    std::set<std::string> typed;
    const std::regex sample(
        R"(([a-z_]+)(\{[a-z_]+="(?:[^"\\]|\\.)*"(?:,[a-z_]+="(?:[^"\\]|\\.)*")*\}) (-?[0-9.e+]+))");
    std::istringstream in(sText);
    std::string sLine;
    std::smatch m;
    while (std::getline(in, sLine)) {
        if (std::regex_match(sLine, m, std::regex("# HELP ([a-z_]+) .+"))) {
            help.insert(m[1]);
        } else if (std::regex_match(sLine, m, std::regex("# TYPE ([a-z_]+) (counter|gauge)"))) {
            EXPECT_EQ(help.count(m[1]), 1u) << sLine;
            typed.insert(m[1]);
        } else if (std::regex_match(sLine, m, sample)) {
            EXPECT_EQ(typed.count(m[1]), 1u) << sLine;
            samples[m[1].str() + m[2].str()] = m[3];
        } else {
            ADD_FAILURE() << "not exposition text: " << sLine;
        }
    }
    return samples;
}

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

} // namespace

TEST(CMetricsTextTest, BeforeTheEngineOnlyWhatTheProgramKnows)
{
    const auto samples = Samples(CMetricsText::Format(TwoInputs(), nullptr));
    EXPECT_EQ(samples.at(R"(braidmill_output_written_packets_total{output="out.ts"})"),
              "3000000000");
    EXPECT_EQ(samples.at(R"(braidmill_run_elapsed_seconds{output="out.ts"})"), "2.5");
    EXPECT_EQ(samples.at(R"(braidmill_input_estimated_bit_rate{input="1",path="a.ts"})"),
              "2000000");
    // No estimate, no engine: no sample rather than a made-up value.
    EXPECT_EQ(samples.size(), 4u);
    EXPECT_EQ(samples.count(R"(braidmill_output_null_ratio{output="out.ts"})"), 0u);
}

TEST(CMetricsTextTest, EveryInputAndProgramHasItsSamples)
{
    _MUX_STATS stats{};
    stats.llSlots = 1000;
    stats.llNullSlots = 250;
    stats.llTableSlots = 40;
    stats.llPcrsInserted = 3;
    stats.vInputs = {{10, 9, 1, 2, 3, 4, 2'000'000}, {20, 19, 0, 0, 0, 0, -1}};
    stats.vPrograms = {{101, 1, 500, 25, 39'500}, {201, 2, 400, 20, -1}};
    const auto samples = Samples(CMetricsText::Format(TwoInputs(), &stats));

    EXPECT_EQ(samples.at(R"(braidmill_output_null_ratio{output="out.ts"})"), "0.25");
    EXPECT_EQ(samples.at(R"(braidmill_output_pcr_insertions_total{output="out.ts"})"), "3");
    const std::string sSecond = R"({input="2",path="b \"x\"\\\n.ts"})";
    EXPECT_EQ(samples.at("braidmill_input_read_packets_total" + sSecond), "20");
    EXPECT_EQ(samples.at(R"(braidmill_input_cc_errors_total{input="1",path="a.ts"})"), "3");
    EXPECT_EQ(samples.at(R"(braidmill_input_late_packets_total{input="1",path="a.ts"})"), "2");
    EXPECT_EQ(samples.count("braidmill_input_bit_rate" + sSecond), 0u); // rate not known
    EXPECT_EQ(samples.at(R"(braidmill_program_packets_total{program="201",input="2"})"), "400");
    EXPECT_EQ(samples.at(R"(braidmill_program_max_pcr_interval_seconds{program="101",input="1"})"),
              "0.0395");
    EXPECT_EQ(
        samples.count(R"(braidmill_program_max_pcr_interval_seconds{program="201",input="2"})"),
        0u);
}

TEST(CMetricsTextTest, NoSlotsYetGiveNoNullRatio)
{
    _MUX_STATS stats{};
    const auto samples = Samples(CMetricsText::Format(TwoInputs(), &stats));
    EXPECT_EQ(samples.count(R"(braidmill_output_null_ratio{output="out.ts"})"), 0u);
    EXPECT_EQ(samples.at(R"(braidmill_output_packets_total{output="out.ts"})"), "0");
}
