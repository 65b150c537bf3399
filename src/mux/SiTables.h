#pragma once

#include "input/CInputTables.h"
#include "mux/COutProgram.h"
#include "mux/MuxConstants.h"

#include <functional>
#include <string>
#include <vector>

struct COutIdentity;
struct CPsiTable;
struct dvbpsi_s;

// Writers of the service information tables, each into one CPsiTable: the
// SDT (actual transport stream) and the NIT (actual network). Free
// functions, on the thread that builds the tables; false with an error line
// when the generator fails (table then unfinished).

// The input's service of a program when the SDT is to name it so; null: a
// numbered name.
using CServiceFinder = std::function<const CServiceInfo*(const COutProgram&)>;
// A program's free_CA_mode; null: 0 for every service.
using CFreeCaTest = std::function<bool(const COutProgram&)>;

// The SDT: a running service per program that is on, in numbering order,
// named by findService or "service %03d" of its number, its free_CA_mode
// from isFreeCa, in as many sections as the service loop needs.
bool WriteSdt(dvbpsi_s* h, const COutIdentity& identity, const std::vector<COutProgram>& vPrograms,
              const CServiceFinder& findService, int nVersion, CPsiTable& table,
              const CFreeCaTest& isFreeCa = nullptr);
// The NIT: the identity's network_id and, when it has one, its name.
bool WriteNit(dvbpsi_s* h, const COutIdentity& identity, int nVersion, CPsiTable& table);

// Writes the body of a service descriptor (service_type, provider name,
// service name) into pBuf and returns its length; -1, leaving pBuf
// untouched, when it would not fit nCapacity bytes.
int BuildServiceDescriptor(unsigned char* pBuf, int nCapacity, const std::string& sProvider,
                           const std::string& sName, int nServiceType = kServiceTypeTv);
