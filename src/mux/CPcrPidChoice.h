#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Which PID carries each output program's PCRs: the one its PMT names while
// PCRs come on it. Where the PMT names none (0x1FFF), or its PID has carried
// no PCR for a while (a PID that never carries one, or PCRs that moved), a
// PID of the program that does carry them takes over, so that a receiver
// can lock to the program. Used by the slot scheduler on its thread; no
// lock. Times in slots.
class CPcrPidChoice
{
public:
    explicit CPcrPidChoice(int64_t nSilentSlots) : m_nSilentSlots(nSilentSlots) {}

    // The program's PCR PID as its tables now name it (kPidNull: none), at
    // nSlot. A PID that changes starts its wait for a PCR there.
    void SetPcrPid(int nProgram, int nPid, int64_t nSlot);
    int GetPcrPid(int nProgram) const;
    // A PCR of an input packet of program nProgram on nPid leaves in nSlot.
    // Returns nPid when the program's PCRs move there, else -1.
    int OnPcr(int nProgram, int nPid, int64_t nSlot);
    // Whether another program than nProgram names nPid its PCR PID.
    bool IsPcrPidOfOther(int nPid, int nProgram) const;

private:
    struct CProgram
    {
        int nPcrPid;
        int64_t nLastPcr; // slot of its last PCR, or from when it was named
    };

    int64_t m_nSilentSlots;
    std::vector<CProgram> m_vPrograms; // by output program index
};
