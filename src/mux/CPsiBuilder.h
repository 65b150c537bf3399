#pragma once

#include "braidmill.h"
#include "input/CInputTables.h"
#include "input/CProgramDescriptors.h"
#include "mux/CCatWriter.h"
#include "mux/COutIdentity.h"
#include "mux/COutProgram.h"
#include "mux/CProgramNumbering.h"
#include "mux/CPsiTable.h"
#include "mux/MuxConstants.h"
#include "ts/TsConstants.h"

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <string>
#include <vector>

class CTableIntervals;

// Numbers the programs of the inputs (through CProgramNumbering) and
// generates the multiplex's PSI set (PAT, one PMT per program, SDT, NIT;
// with CA passing the CAT) as
// ready-made TS packets, through the table writers. The engine's builder
// (CMuxPrograms') is used by one thread at a time: the client's while Run
// numbers the programs the inputs start with, then, from the start of the
// driver thread (which hands it over), the driver's on every table change;
// so it has no lock. It keeps no pointer to what it is given.
class CPsiBuilder
{
public:
    // Numbers the programs of one input after those of the inputs added
    // before (CProgramNumbering's rule) and writes their output PIDs into
    // the input's PID map (8192 entries). A program that no longer fits the
    // PID space, or has more streams than a PMT section carries, is left out
    // with an error line.
    // pDescriptors, when given, holds each program's PMT descriptors (one
    // entry per program, in the same order); they go into the output PMTs
    // without CA descriptors (with CA passing: with them, naming the output
    // ECM PIDs), and with the least essential left out where the section
    // would not fit, each with a warning line.
    void AddInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                  const std::vector<CProgramDescriptors>* pDescriptors = nullptr);

    // Follows a new program list of an input, by the same rule: every
    // output program number and PID given so far stays; a new stream gets
    // the next free PID before the next program's block (else one from the
    // top of the PID space), a new program is numbered as at the start; a
    // program gone from the list leaves the tables (it keeps its numbers for
    // when it comes back). Logs what it gives. True when a table changed.
    bool UpdateInput(int nInput, const std::vector<_PROGRAM_INFO>& programs, int* pPidMap,
                     const std::vector<CProgramDescriptors>& descriptors);
    // Program nInNumber of input nInput is to be numbered nOut, before the
    // first program is numbered. False, with an error line and nothing
    // kept, for a number outside 1..65535 or one another program has.
    bool AskNumber(int nInput, int nInNumber, int nOut);
    // A builder with the numbers asked for here and nothing else, for a look
    // at the tables ahead of the run. Reads only what no thread changes
    // once the run has started.
    CPsiBuilder AsksOnly() const;
    // The programs chosen of input nInput that its PAT does not name: a
    // warning line for each, once in the run.
    void NoteAbsent(int nInput, const std::vector<int>& vAbsent);
    // The services the input's SDT names. True when the output SDT changes.
    bool SetServices(int nInput, const CServiceMap& services);
    // The PCRs of program nProgram (numbering order) come on nPid, one of
    // its output PIDs (kPidNull: none): its PMT names it PCR_PID until the
    // input's PMT names another or the PID leaves the program. True when the
    // PMT changes.
    bool MovePcrPid(size_t nProgram, int nPid);
    // true: the SDT carries the inputs' service names where they have one;
    // false (the default): numbered names.
    void SetServiceNames(bool bFromInputs) { m_bServiceNames = bFromInputs; }
    // true: the PMTs keep their CA descriptors, the ECM PIDs they name get
    // PIDs of their program's block, the inputs' CATs make the output's
    // (SetCat) and the SDT's free_CA_mode follows the inputs'. false (the
    // default): CA descriptors left out, no CAT, free_CA_mode 0. Before AddInput.
    void SetCaPass(bool bPass);
    // Input nInput's CAT as its tables give it, with CA passing; its EMM
    // PIDs go into the input's PID map and are taken for every other use.
    // True when the output CAT changes.
    bool SetCat(int nInput, const CInputTables& tables, int* pPidMap);

    // A program left out, named as its input knows it.
    using COmitted = CProgramNumbering::COmitted;

    const std::vector<COutProgram>& GetPrograms() const { return m_vPrograms; }
    const std::vector<COmitted>& GetOmitted() const { return m_numbering.GetOmitted(); }
    int GetOmittedCount() const { return int(GetOmitted().size()); }

    // Takes what the tables say of the multiplex. Each value out of range
    // (ids 0..65535, a name of at most 255 bytes) is refused with an error
    // line and the one before it kept; false when any was.
    bool SetIdentity(const COutIdentity& identity);
    const COutIdentity& GetIdentity() const { return m_identity; }

    // The PSI set as separate tables, in this order: PAT, the PMTs in
    // numbering order, SDT, NIT, then with CA passing the CAT where an
    // input has one. nVersion (0..31) is the version_number of every
    // table. False (with an error line) for a version out of range or when
    // libdvbpsi failed to generate a table; vTables is then untouched.
    bool BuildTables(std::vector<CPsiTable>& vTables, int nVersion = 0) const;

    // The PSI set of BuildTables at version 0, its tables one after another.
    bool BuildPackets(std::vector<unsigned char>& vPsi) const;

    // Bit/s the tables of the programs taken so far take as they are sent:
    // each at its cycle among the intervals chosen for an output of nRate
    // bit/s (0: no rate yet); -1 when a table could not be built.
    long long SentBitRate(CTableIntervals intervals, int64_t nRate) const;

    // Bit/s the tables need when each goes out once every nIntervalMs,
    // rounded up; -1 for an interval below 1 ms.
    static long long TableBitRate(const std::vector<CPsiTable>& vTables, int nIntervalMs);

private:
    // Leaves out the program's CA descriptors and what its PMT section has
    // no room for, with a warning line for each.
    // szInProgram names the program as its input knows it, for the lines.
    // With bCaPass the CA descriptors stay (their PIDs already rewritten).
    static void FitDescriptors(COutProgram& out, const char* szInProgram, bool bCaPass);
    // AddInput and UpdateInput: numbers the programs of the list and takes
    // them into the tables; bReport logs what is new. Per program numbered
    // so far: 1 when the list has it.
    std::vector<uint8_t> Follow(int nInput, const std::vector<_PROGRAM_INFO>& programs,
                                int* pPidMap, const std::vector<CProgramDescriptors>* pDescriptors,
                                bool bReport, bool& bChanged);
    // The input's service of the program when the SDT is to carry it; else null.
    const CServiceInfo* FindService(const COutProgram& program) const;
    // free_CA_mode of the program's service.
    bool IsFreeCa(const COutProgram& program) const;

    std::vector<COutProgram> m_vPrograms;  // numbering order, as m_numbering's
    CProgramNumbering m_numbering;         // numbers and PIDs given
    std::map<int, CServiceMap> m_services; // by input
    bool m_bServiceNames = false;
    bool m_bCaPass = false;
    CCatWriter m_cat;
    std::set<std::pair<int, int>> m_absentSaid; // (input, program) said absent
    COutIdentity m_identity;
};
