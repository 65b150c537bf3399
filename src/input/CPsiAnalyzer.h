#pragma once

#include "braidmill.h"
#include "input/CProgramDescriptors.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

struct dvbpsi_s;
struct dvbpsi_pat_s;
struct dvbpsi_pmt_s;

// Owners of libdvbpsi handles: detach the decoder, if one is attached, and
// delete the handle, exactly once.
struct CPatDecoderDeleter
{
    void operator()(dvbpsi_s* pHandle) const noexcept;
};
struct CPmtDecoderDeleter
{
    void operator()(dvbpsi_s* pHandle) const noexcept;
};
using CPatDecoderPtr = std::unique_ptr<dvbpsi_s, CPatDecoderDeleter>;
using CPmtDecoderPtr = std::unique_ptr<dvbpsi_s, CPmtDecoderDeleter>;

// One program announced by the PAT.
struct _PMTINFO
{
    int nPmtPid = 0;            // PMT PID from the PAT
    int nPcrPid = 0;            // PCR_PID, once the PMT is decoded
    CPmtDecoderPtr hPmtDecoder; // decodes this program's PMT only
    bool bParsed = false;       // the PMT has been decoded
};

// Learns an input's programs from its PAT and PMTs while the packets wait in
// the input's FIFO, and prints a report of each table it decodes. Runs on
// the reader thread inside the FIFO's lock; libdvbpsi's callbacks run
// synchronously inside it. Owned by the input module; fills the module's
// program list and, when given, its descriptor list (one entry per program,
// in the same order), neither of which it owns.
//
// Each pass looks only at packets it has not seen yet: a decoder that saw a
// packet once would take it again as a duplicate, and the oldest packets may
// have been dropped in between. The PMT decoders start at the oldest stored
// packet, so PMT packets stored ahead of the PAT still count.
class CPsiAnalyzer
{
public:
    explicit CPsiAnalyzer(std::vector<_PROGRAM_INFO>* pPrograms,
                          std::vector<CProgramDescriptors>* pDescriptors = nullptr);
    ~CPsiAnalyzer();
    CPsiAnalyzer(const CPsiAnalyzer&) = delete;
    CPsiAnalyzer& operator=(const CPsiAnalyzer&) = delete;

    // One pass over the stored packets, oldest first; nPushCount is the
    // number of packets ever stored, the last of them at the back of the
    // queue. True once every program of the PAT has its PMT decoded.
    bool Analyze(const std::deque<unsigned char*>& queue, uint64_t nPushCount);

    // libdvbpsi's table callbacks; pData is the analyzer.
    static void OnPat(void* pData, dvbpsi_pat_s* pPat) noexcept;
    static void OnPmt(void* pData, dvbpsi_pmt_s* pPmt) noexcept;

private:
    void HandlePat(const dvbpsi_pat_s& pat);
    void HandlePmt(const dvbpsi_pmt_s& pmt);
    bool AllParsed() const;

    std::vector<_PROGRAM_INFO>* m_pPrograms; // the input module's list
    std::vector<CProgramDescriptors>* m_pDescriptors; // parallel to it; may be null
    std::map<int, _PMTINFO> m_pmtInfos;      // by program_number, ascending
    CPatDecoderPtr m_pPatDecoder;            // until the PAT has given records
    uint64_t m_nPatNext = 0;                 // next packet number for the PAT decoder
    uint64_t m_nPmtNext = 0;                 // next packet number for the PMT decoders
    bool m_bComplete = false;
};
