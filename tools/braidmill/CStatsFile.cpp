#include "CStatsFile.h"

#include "CWatchedSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

namespace {

// A JSON string: quotes, backslashes and control characters escaped; other
// bytes (file names are bytes) passed as they are.
std::string Quote(const std::string& s)
{
    std::string sOut = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            sOut += '\\';
            sOut += char(c);
        } else if (c < 0x20) {
            char szEsc[8];
            std::snprintf(szEsc, sizeof szEsc, "\\u%04x", unsigned(c));
            sOut += szEsc;
        } else {
            sOut += char(c);
        }
    }
    return sOut + "\"";
}

} // namespace

std::string CStatsFile::ToJson(const Run& run, const _MUX_STATS* pStats)
{
    std::ostringstream out;
    out.precision(15);
    out << "{\n  \"state\": " << Quote(run.sState) << ",\n"
        << "  \"elapsed_seconds\": " << run.fElapsed << ",\n"
        << "  \"engine_figures\": " << (pStats ? "true" : "false") << ",\n"
        << "  \"output\": {\"path\": " << Quote(run.sOutput) << ", \"bit_rate\": " << run.fBitRate
        << ", \"packets_written\": " << run.llPacketsWritten
        << ", \"bytes_written\": " << run.llPacketsWritten * kPacketBytes;
    if (pStats) {
        out << ", \"slots\": " << pStats->llSlots << ", \"null_slots\": " << pStats->llNullSlots
            << ", \"table_slots\": " << pStats->llTableSlots
            << ", \"pcrs_inserted\": " << pStats->llPcrsInserted
            << ", \"max_catch_up_us\": " << pStats->llMaxCatchUpUs
            << ", \"sdt_interval_ms\": " << pStats->nSdtIntervalMs
            << ", \"nit_interval_ms\": " << pStats->nNitIntervalMs;
    }
    out << "},\n  \"inputs\": [";
    for (size_t i = 0; i < run.vInputs.size(); ++i) {
        out << (i ? ",\n" : "\n") << "    {\"input\": " << i + 1
            << ", \"path\": " << Quote(run.vInputs[i]) << ", \"estimated_bit_rate\": "
            << (i < run.vEstimatedRates.size() ? run.vEstimatedRates[i] : -1);
        if (pStats && i < pStats->vInputs.size()) {
            const _MUX_INPUT_STATS& in = pStats->vInputs[i];
            out << ", \"packets_read\": " << in.llPacketsRead
                << ", \"packets_muxed\": " << in.llPacketsMuxed << ", \"dropped\": " << in.llDropped
                << ", \"late\": " << in.llLate << ", \"cc_errors\": " << in.llCcErrors
                << ", \"pcrs\": " << in.llPcrs << ", \"bit_rate\": " << in.nBitRate;
        }
        out << "}";
    }
    out << (run.vInputs.empty() ? "],\n" : "\n  ],\n") << "  \"programs\": [";
    const size_t nPrograms = pStats ? pStats->vPrograms.size() : 0;
    for (size_t i = 0; i < nPrograms; ++i) {
        const _MUX_PROGRAM_STATS& program = pStats->vPrograms[i];
        out << (i ? ",\n" : "\n") << "    {\"program_number\": " << program.nProgramNumber
            << ", \"input\": " << program.nInput << ", \"packets\": " << program.llPackets
            << ", \"pcrs\": " << program.llPcrs
            << ", \"max_pcr_interval_us\": " << program.nMaxPcrIntervalUs
            << ", \"pcr_pid\": " << program.nPcrPid << ", \"late\": " << program.llLate
            << ", \"max_delay_ms\": " << program.nMaxDelayUs / 1000.0
            << ", \"decoding_margin_ms\": ";
        if (program.nMarginUs < 0) {
            out << "null";
        } else {
            out << program.nMarginUs / 1000.0;
        }
        out << "}";
    }
    out << (nPrograms ? "\n  ]\n}\n" : "]\n}\n");
    return out.str();
}

bool CStatsFile::Write(const Run& run, const _MUX_STATS* pStats) const
{
    const std::string sText = ToJson(run, pStats);
    // Same directory, so the rename stays on one file system and is atomic.
    const std::string sTemp = m_sPath + ".tmp" + std::to_string(getpid());
    const int nFd = open(sTemp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (nFd < 0) {
        return false;
    }
    bool bOk = write(nFd, sText.data(), sText.size()) == ssize_t(sText.size());
    const int nWriteErrno = errno;
    bOk = close(nFd) == 0 && bOk;
    if (bOk && std::rename(sTemp.c_str(), m_sPath.c_str()) == 0) {
        return true;
    }
    const int nErrno = bOk ? errno : nWriteErrno;
    unlink(sTemp.c_str());
    errno = nErrno;
    return false;
}
