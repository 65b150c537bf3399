#pragma once

#include "braidmill.h"
#include "input/CCatAnalyzer.h"
#include "input/CInputTables.h"
#include "input/CProgramDescriptors.h"
#include "input/CProgramSelection.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <vector>

struct dvbpsi_s;
struct dvbpsi_pat_s;
struct dvbpsi_pmt_s;
struct dvbpsi_sdt_s;

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
struct CDemuxDeleter
{
    void operator()(dvbpsi_s* pHandle) const noexcept;
};
using CPatDecoderPtr = std::unique_ptr<dvbpsi_s, CPatDecoderDeleter>;
using CPmtDecoderPtr = std::unique_ptr<dvbpsi_s, CPmtDecoderDeleter>;
using CDemuxPtr = std::unique_ptr<dvbpsi_s, CDemuxDeleter>;

// One program announced by the current PAT.
struct _PMTINFO
{
    int nPmtPid = 0;            // PMT PID from the PAT
    int nPcrPid = 0;            // PCR_PID, once the PMT is decoded
    CPmtDecoderPtr hPmtDecoder; // decodes this program's PMT only
    bool bParsed = false;       // the PMT has been decoded
    int nVersion = -1;          // version_number of the PMT taken
    uint64_t nOrder = 0;        // when its first PMT completed, for the list order
    _PROGRAM_INFO program{};
    CProgramDescriptors descriptors;
};

// Follows an input's PAT, PMTs and SDT for the life of the input and prints
// a report of each PAT and PMT it decodes. Before the input is ready it
// runs on the reader thread inside the FIFO's lock, a pass over the stored
// packets at a time (Analyze). After that the reader hands it the table
// packets one by one (Push). Either way the tables are taken as a whole
// (GetTables): the analyzer keeps no list of its owner's. libdvbpsi's
// callbacks run synchronously inside. Owned by the input module.
//
// Each pass looks only at packets it has not seen yet: a decoder that saw a
// packet once would take it again as a duplicate, and the oldest packets may
// have been dropped in between. The PMT decoders start at the oldest stored
// packet, so PMT packets stored ahead of the PAT still count.
class CPsiAnalyzer
{
public:
    CPsiAnalyzer();
    ~CPsiAnalyzer();
    CPsiAnalyzer(const CPsiAnalyzer&) = delete;
    CPsiAnalyzer& operator=(const CPsiAnalyzer&) = delete;

    // One pass over the stored packets, oldest first; nPushCount is the
    // number of packets ever stored, the last of them at the back of the
    // queue. True once every program of the PAT has its PMT decoded.
    bool Analyze(const std::deque<unsigned char*>& queue, uint64_t nPushCount);

    // After the passes: one packet of a PID IsTablePid names. True when the
    // tables changed (a new PAT, a PMT, names of the services).
    bool Push(const unsigned char* pPacket);
    bool IsTablePid(int nPid) const { return m_vTablePid[size_t(nPid)] != 0; }

    // A PAT that names a program has been decoded.
    bool HasPat() const { return !m_pmtInfos.empty(); }
    // A program of the PAT has its PMT decoded.
    bool HasProgram() const;
    bool AllParsed() const;
    // The tables as they stand, the chosen programs alone (nSequence left
    // to the caller).
    void GetTables(CInputTables& tables) const;
    // Before data: the programs to hand on (empty: all).
    void ChoosePrograms(std::vector<int> vNumbers) { m_selection.Choose(std::move(vNumbers)); }

    // libdvbpsi's table callbacks; pData is the analyzer.
    static void OnPat(void* pData, dvbpsi_pat_s* pPat) noexcept;
    static void OnPmt(void* pData, dvbpsi_pmt_s* pPmt) noexcept;
    static void OnSdt(void* pData, dvbpsi_sdt_s* pSdt) noexcept;
    static void OnNewSubtable(dvbpsi_s* pHandle, uint8_t nTableId, uint16_t nExtension,
                              void* pData) noexcept;

private:
    void HandlePat(const dvbpsi_pat_s& pat);
    void HandlePmt(const dvbpsi_pmt_s& pmt);
    void HandleSdt(const dvbpsi_sdt_s& sdt);
    // Hands the packet to the PAT or SDT decoder (bPatSdt) and to the PMT
    // decoders of its PID.
    void PushOne(const unsigned char* pPacket, bool bPatSdt);
    void UpdateTablePids();

    std::map<int, _PMTINFO> m_pmtInfos; // programs of the current PAT, by program_number
    CServiceMap m_services;             // from the SDT actual
    CCatAnalyzer m_cat;
    CProgramSelection m_selection;      // programs handed on
    CPatDecoderPtr m_pPatDecoder;
    CDemuxPtr m_pSdtDecoder;
    std::vector<uint8_t> m_vTablePid; // per PID: PAT, SDT or a PMT PID
    uint64_t m_nNextOrder = 1;
    uint64_t m_nPatNext = 0;                 // next packet number for the PAT and SDT decoders
    uint64_t m_nPmtNext = 0;                 // next packet number for the PMT decoders
    bool m_bChanged = false;                 // a table changed since the last look
};
