#include "CMetricsText.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr const char* kCounter = "counter";
constexpr const char* kGauge = "gauge";
constexpr double kNone = std::numeric_limits<double>::quiet_NaN(); // no sample
constexpr double kMicro = 1e-6;                                    // seconds per microsecond

// A figure that may not be known yet: negative means not known.
double Known(long long llValue)
{
    return llValue < 0 ? kNone : double(llValue);
}

// One metric: its name, type and help text, and how to read it from one
// element (the run, an input's figures, a program's figures). A new figure
// is one row in the table of its element.
template <class T> struct CFigure
{
    const char* szName;
    const char* szType;
    const char* szHelp;
    double (*fnValue)(const T&);
};

// The run's figures that need the engine, and those the program knows.
struct CRunView
{
    const CStatsFile::Run& run;
    const _MUX_STATS* pStats; // null: none from the engine yet
};

double Engine(const CRunView& v, long long _MUX_STATS::*pField)
{
    return v.pStats != nullptr ? double(v.pStats->*pField) : kNone;
}

const CFigure<CRunView> kRunFigures[] = {
    {"braidmill_run_elapsed_seconds", kGauge, "Wall-clock time since the multiplex started.",
     [](const CRunView& v) { return v.run.fElapsed; }},
    {"braidmill_output_bit_rate", kGauge, "Output rate, bit/s.",
     [](const CRunView& v) { return v.run.fBitRate; }},
    {"braidmill_output_written_packets_total", kCounter, "Packets the output took without failing.",
     [](const CRunView& v) { return double(v.run.llPacketsWritten); }},
    {"braidmill_output_packets_total", kCounter, "Output packets the engine wrote.",
     [](const CRunView& v) { return Engine(v, &_MUX_STATS::llSlots); }},
    {"braidmill_output_null_packets_total", kCounter, "Null packets among the output packets.",
     [](const CRunView& v) { return Engine(v, &_MUX_STATS::llNullSlots); }},
    {"braidmill_output_null_ratio", kGauge, "Share of null packets in the output so far.",
     [](const CRunView& v) {
         return v.pStats == nullptr || v.pStats->llSlots <= 0
                    ? kNone
                    : double(v.pStats->llNullSlots) / double(v.pStats->llSlots);
     }},
    {"braidmill_output_table_packets_total", kCounter,
     "PAT, PMT, SDT and NIT packets among the output packets.",
     [](const CRunView& v) { return Engine(v, &_MUX_STATS::llTableSlots); }},
    {"braidmill_output_pcr_insertions_total", kCounter, "PCR-only packets the engine added.",
     [](const CRunView& v) { return Engine(v, &_MUX_STATS::llPcrsInserted); }},
};

const CFigure<_MUX_INPUT_STATS> kInputFigures[] = {
    {"braidmill_input_read_packets_total", kCounter, "Packets the input's source handed over.",
     [](const _MUX_INPUT_STATS& s) { return double(s.llPacketsRead); }},
    {"braidmill_input_muxed_packets_total", kCounter, "Packets of the input written to the output.",
     [](const _MUX_INPUT_STATS& s) { return double(s.llPacketsMuxed); }},
    {"braidmill_input_dropped_packets_total", kCounter,
     "Packets lost: input queue overflow, or left queued at a stop.",
     [](const _MUX_INPUT_STATS& s) { return double(s.llDropped); }},
    {"braidmill_input_late_packets_total", kCounter,
     "Packets that left too late for their decoders.",
     [](const _MUX_INPUT_STATS& s) { return double(s.llLate); }},
    {"braidmill_input_cc_errors_total", kCounter,
     "Continuity counter gaps on the input's program PIDs.",
     [](const _MUX_INPUT_STATS& s) { return double(s.llCcErrors); }},
    {"braidmill_input_pcrs_total", kCounter, "PCRs seen on the PID that paces the input.",
     [](const _MUX_INPUT_STATS& s) { return double(s.llPcrs); }},
    {"braidmill_input_bit_rate", kGauge, "The input's rate from its PCRs, bit/s.",
     [](const _MUX_INPUT_STATS& s) { return Known(s.nBitRate); }},
};

const CFigure<_MUX_PROGRAM_STATS> kProgramFigures[] = {
    {"braidmill_program_packets_total", kCounter,
     "Packets of the program's streams written (tables not counted).",
     [](const _MUX_PROGRAM_STATS& s) { return double(s.llPackets); }},
    {"braidmill_program_pcrs_total", kCounter,
     "PCRs written on the program's PCR PID, inserted ones included.",
     [](const _MUX_PROGRAM_STATS& s) { return double(s.llPcrs); }},
    {"braidmill_program_max_pcr_interval_seconds", kGauge,
     "Longest gap between two PCRs written on the program's PCR PID.",
     [](const _MUX_PROGRAM_STATS& s) { return Known(s.nMaxPcrIntervalUs) * kMicro; }},
    {"braidmill_program_late_packets_total", kCounter,
     "Packets delayed so much that less than 100 ms of the decoding margin was left.",
     [](const _MUX_PROGRAM_STATS& s) { return double(s.llLate); }},
    {"braidmill_program_max_delay_seconds", kGauge,
     "Largest delay of a packet through the muxer beyond the program's constant one.",
     [](const _MUX_PROGRAM_STATS& s) { return double(s.nMaxDelayUs) * kMicro; }},
    {"braidmill_program_decoding_margin_seconds", kGauge,
     "Smallest DTS (else PTS) minus PCR of the program's input PES so far.",
     [](const _MUX_PROGRAM_STATS& s) { return Known(s.nMarginUs) * kMicro; }},
};

// Whole numbers as integers (counters never read as 1.2e+07), others with
// enough digits for a rate or a ratio.
std::string FormatValue(double fValue)
{
    char sz[64];
    if (std::fabs(fValue) < 9.0e15 && fValue == std::floor(fValue)) {
        std::snprintf(sz, sizeof sz, "%lld", static_cast<long long>(fValue));
    } else {
        std::snprintf(sz, sizeof sz, "%.9g", fValue);
    }
    return sz;
}

// Appends a metric's lines: the header once, a sample per element that has
// a value; nothing when none has.
template <class T>
void AppendFigure(std::string& sOut, const CFigure<T>& figure, const std::vector<T>& vElements,
                  const std::vector<std::string>& vLabels)
{
    bool bHeader = false;
    for (size_t i = 0; i < vElements.size(); ++i) {
        const double fValue = figure.fnValue(vElements[i]);
        if (std::isnan(fValue)) {
            continue;
        }
        if (!bHeader) {
            sOut += std::string("# HELP ") + figure.szName + " " + figure.szHelp + "\n";
            sOut += std::string("# TYPE ") + figure.szName + " " + figure.szType + "\n";
            bHeader = true;
        }
        sOut += figure.szName + vLabels[i] + " " + FormatValue(fValue) + "\n";
    }
}

std::string Label(const char* szName, const std::string& sValue)
{
    return std::string(szName) + "=\"" + CMetricsText::EscapeLabel(sValue) + "\"";
}

} // namespace

std::string CMetricsText::EscapeLabel(const std::string& sValue)
{
    std::string sOut;
    for (char c : sValue) {
        if (c == '\\' || c == '"') {
            sOut += '\\';
            sOut += c;
        } else if (c == '\n') {
            sOut += "\\n";
        } else {
            sOut += c;
        }
    }
    return sOut;
}

std::string CMetricsText::Format(const CStatsFile::Run& run, const _MUX_STATS* pStats)
{
    std::string sOut;
    const std::string sOutputLabel = "{" + Label("output", run.sOutput) + "}";
    const CRunView view{run, pStats};
    for (const CFigure<CRunView>& figure : kRunFigures) {
        AppendFigure(sOut, figure, std::vector<CRunView>{view}, {sOutputLabel});
    }

    std::vector<std::string> vInputLabels;
    for (size_t i = 0; i < run.vInputs.size(); ++i) {
        vInputLabels.push_back("{" + Label("input", std::to_string(i + 1)) + "," +
                               Label("path", run.vInputs[i]) + "}");
    }
    // The estimate is the program's own, there before the engine's figures.
    std::vector<long long> vEstimates(run.vEstimatedRates.begin(), run.vEstimatedRates.end());
    vEstimates.resize(run.vInputs.size(), -1);
    AppendFigure(sOut,
                 CFigure<long long>{"braidmill_input_estimated_bit_rate", kGauge,
                                    "The input's rate as estimated before the run, bit/s.",
                                    [](const long long& ll) { return Known(ll); }},
                 vEstimates, vInputLabels);
    if (pStats == nullptr) {
        return sOut;
    }
    std::vector<_MUX_INPUT_STATS> vInputs = pStats->vInputs;
    vInputs.resize(std::min(vInputs.size(), vInputLabels.size()));
    for (const CFigure<_MUX_INPUT_STATS>& figure : kInputFigures) {
        AppendFigure(sOut, figure, vInputs, vInputLabels);
    }

    std::vector<std::string> vProgramLabels;
    for (const _MUX_PROGRAM_STATS& program : pStats->vPrograms) {
        vProgramLabels.push_back("{" + Label("program", std::to_string(program.nProgramNumber)) +
                                 "," + Label("input", std::to_string(program.nInput)) + "}");
    }
    for (const CFigure<_MUX_PROGRAM_STATS>& figure : kProgramFigures) {
        AppendFigure(sOut, figure, pStats->vPrograms, vProgramLabels);
    }
    return sOut;
}
