#pragma once

#include "braidmill.h"
#include "input/CProgramDescriptors.h"
#include "mux/COutProgram.h"
#include "mux/MuxConstants.h"

#include <cstdint>
#include <map>
#include <set>
#include <utility>
#include <vector>

// The output numbers of the multiplex's programs, one rule for the programs
// a run starts with and for those that come later: program numbers from 101
// on in numbering order (past the numbers asked for), and a block of PIDs per
// program from PMT PID 1011 on in steps of ten: the PMT PID, the PID after it
// held for a PCR of the program's own, its streams from the next one upward.
// A program of more than eight streams runs on past its block and the next
// program's block starts above its last PID. A program keeps what it was
// given for the whole run, and an input PID keeps its output PID across the
// input's programs (a shared PCR, a shared stream). Used by the table builder
// on the thread that numbers (the client's at the start, the driver's on a
// change), one call at a time; it has no lock.
class CProgramNumbering
{
public:
    // A program left out, named as its input knows it.
    struct COmitted
    {
        int nInput;         // 1-based
        int nProgramNumber; // in the input's PAT; -1 when no descriptors told it
        int nPmtPid;        // in the input
    };

    // What Number gives one input program.
    struct CGiven
    {
        enum EKind {
            kNumbered, // program holds its numbers and PIDs
            kKept,     // numbered before, now beyond what a PMT carries: nothing changes
            kLeftOut   // never numbered: no PIDs or program numbers left, or too many streams
        };
        EKind kind = kLeftOut;
        size_t nIndex = 0;   // numbering order; unless left out
        bool bNew = false;   // numbered just now
        COutProgram program; // numbers, streams with their descriptors, PCR PID; bOn set
        std::vector<std::pair<int, int>> vNewPids; // input PID -> output PID, given just now
    };

    // Program nInNumber of input nInput is to get output program number nOut
    // (1..65535). Before the first Number; false, and nothing kept, when
    // another program has nOut asked for or given.
    bool Ask(int nInput, int nInNumber, int nOut);
    // A numbering with this one's asks and nothing numbered.
    CProgramNumbering AsksOnly() const;

    // Numbers program `in` of input nInput, whose PMT descriptors pIn holds
    // (null: unknown, and the program counts as new). A new program takes
    // its asked number or the next one, and the next block whose PMT PID and
    // PCR PID are free; its streams take PIDs upward from PMT PID + 2, and it
    // is left out, with an error line, when the PID space or the program
    // numbers run out or a PMT section cannot list its streams. A program
    // numbered before keeps its numbers and every PID given; a new stream of
    // it takes the next free PID below the next program's block, else one
    // from the top of the PID space (a warning line), else none (an error
    // line; the stream is left out). A PCR on none of the streams goes on
    // PMT PID + 1 while that is free. New output PIDs go into pPidMap (the
    // input's, 8192 entries); szInProgram names the program in the lines.
    // bMayMatch false: new even if its number was seen (a list that names
    // one program_number twice).
    // With CA passing, the ECM PIDs the program's CA descriptors name (both
    // loops) take PIDs after its streams as streams do, an ECM PID of two
    // programs one, and the descriptors name those; a descriptor whose PID
    // gets none is left out with a warning line.
    CGiven Number(int nInput, const _PROGRAM_INFO& in, const CProgramDescriptors* pIn, int* pPidMap,
                  const char* szInProgram, bool bMayMatch = true);

    // Whether Number carries ECM PIDs; before the first Number.
    void SetCaPass(bool bPass) { m_bCaPass = bPass; }
    // Per output PID: 1 when given or held, else 0.
    std::vector<uint8_t> GetUsed() const;
    // The PIDs vUsed marks (1) are given elsewhere (the CAT's EMM PIDs): taken.
    void Take(const std::vector<uint8_t>& vUsed);

    const std::vector<COmitted>& GetOmitted() const { return m_vOmitted; }
    bool IsOmitted(int nInput, int nInNumber) const;

private:
    // Where a program numbered so far is, in numbering order.
    struct CPlace
    {
        int nInput;
        int nInNumber; // -1 unknown: never matched again
        int nProgramNumber;
        int nPmtPid;
    };
    enum EPidState : uint8_t {
        kFree,
        kHeld, // PMT PID + 1 waiting for a PCR of its program's own
        kTaken
    };

    int FindPlace(int nInput, int nInNumber) const; // -1 none
    // The program number a new program of input nInput would get.
    int NextNumber(int nInput, int nInNumber) const;
    // PIDs from here up belong to a later program than the one at nPmtPid.
    int ReachOf(int nPmtPid) const;
    // A free PID from the top of the space down; -1 none (with an error line).
    int TakeFromTop(int nPmtPid, const std::vector<std::pair<int, int>>& vAdded,
                    const char* szInProgram) const;

    std::vector<CPlace> m_vPlaces;                                          // numbering order
    std::vector<uint8_t> m_vState = std::vector<uint8_t>(kPidCount, kFree); // per output PID
    std::map<std::pair<int, int>, int> m_asked; // (input, input program) -> output number
    std::set<int> m_askedNumbers;               // the values of m_asked
    int m_nNextProgram = kFirstProgramNumber;   // counter, before skipping asked numbers
    int m_nNextPmtPid = kFirstPmtPid;           // PMT PID counter
    std::vector<COmitted> m_vOmitted;           // programs left out, in the order met
    bool m_bCaPass = false;                     // ECM PIDs numbered with the streams
};
