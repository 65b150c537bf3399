#pragma once

// libdvbpsi's headers need these first.
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>

#include <cstring>
#include <memory>
#include <vector>

// What the table writers share: libdvbpsi's generator handle and section
// lists in owning pointers, tables emptied on every way out, and sections
// cut into TS packets. Used on the thread that builds the tables.

using CSectionList = std::unique_ptr<dvbpsi_psi_section_t, decltype(&dvbpsi_DeletePSISections)>;
using CDvbpsiHandle = std::unique_ptr<dvbpsi_t, decltype(&dvbpsi_delete)>;

// A libdvbpsi table on the stack, emptied on every way out. Zeroed first, so
// emptying a table that init never reached frees nothing.
template <typename T, void (*Empty)(T*)> struct CDvbpsiTable
{
    CDvbpsiTable() noexcept { std::memset(&t, 0, sizeof(t)); }
    ~CDvbpsiTable() { Empty(&t); }
    CDvbpsiTable(const CDvbpsiTable&) = delete;
    CDvbpsiTable& operator=(const CDvbpsiTable&) = delete;
    T t;
};

// A generator handle whose messages go to the log; null when none could be made.
CDvbpsiHandle NewDvbpsiHandle();

int CountSections(const dvbpsi_psi_section_t* pSection);

struct CPsiTable;

// Makes the generated list of table szTable (null: the generator failed) the
// packets of table, on nPid with nTableId; false with an error line when
// there is no list. Frees the list.
bool TakeSections(dvbpsi_psi_section_t* pSections, int nPid, int nTableId, const char* szTable,
                  CPsiTable& table);

// Appends the sections of the list to vBuf as packets of nPid: a section
// starts a packet (payload_unit_start_indicator, pointer_field 0) and runs
// on over as many packets as it needs; the last is stuffed with 0xFF. Every
// packet has continuity counter 0: whoever sends the table stamps them.
void PacketizeSections(int nPid, const dvbpsi_psi_section_t* pSections,
                       std::vector<unsigned char>& vBuf);
