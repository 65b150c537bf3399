#pragma once

#include "mux/COutProgram.h"

#include <vector>

struct COutIdentity;
struct CPsiTable;
struct dvbpsi_s;

// Writers of the program tables, each into one CPsiTable: the PAT and a
// program's PMT, as libdvbpsi generates their sections. Free functions, on
// the thread that builds the tables; false with an error line when the
// generator fails (table then unfinished).

// The PAT: the network's entry (program_number 0 on the NIT PID) when the
// identity names a network, then every program that is on, in numbering
// order; as many sections as it takes.
bool WritePat(dvbpsi_s* h, const COutIdentity& identity, const std::vector<COutProgram>& vPrograms,
              int nVersion, CPsiTable& table);
// The PMT of one program: PCR_PID, its descriptors, its streams in order.
bool WritePmt(dvbpsi_s* h, const COutProgram& program, int nVersion, CPsiTable& table);
