#include "mux/SiTables.h"

#include "log/CLogger.h"
#include "mux/COutIdentity.h"
#include "mux/CPsiTable.h"
#include "mux/PsiSections.h"

// libdvbpsi's table headers, after PsiSections.h's.
#include <dvbpsi/descriptor.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/sdt.h>

#include <cstdio>
#include <cstring>

bool WriteSdt(dvbpsi_t* h, const COutIdentity& identity, const std::vector<COutProgram>& vPrograms,
              const CServiceFinder& findService, int nVersion, CPsiTable& table,
              const CFreeCaTest& isFreeCa)
{
    // The SDT generator drops the descriptors of services beyond what one
    // section holds instead of opening the next section, so the services go
    // in groups that fit a section each, and the sections are numbered as
    // one table afterwards.
    std::vector<CSectionList> vSdt;
    size_t nNext = 0;
    do {
        CDvbpsiTable<dvbpsi_sdt_t, dvbpsi_sdt_empty> sdt;
        dvbpsi_sdt_init(&sdt.t, kTableIdSdt, uint16_t(identity.nTsId), uint8_t(nVersion), true,
                        uint16_t(identity.nOriginalNetworkId));
        int nLoopBytes = 0;
        for (; nNext < vPrograms.size(); ++nNext) {
            const COutProgram& program = vPrograms[nNext];
            if (!program.bOn) {
                continue;
            }
            const int nNumber = program.nProgramNumber;
            unsigned char body[kMaxDescriptorBytes];
            int nBody = -1;
            if (const CServiceInfo* pInfo = findService(program)) {
                nBody = BuildServiceDescriptor(body, sizeof(body), pInfo->sProvider, pInfo->sName,
                                               pInfo->nServiceType);
            }
            if (nBody < 0) {
                char szName[kServiceNameChars] = {};
                snprintf(szName, sizeof(szName), "service %03d", nNumber);
                nBody = BuildServiceDescriptor(body, sizeof(body), kServiceProvider, szName);
            }
            const int nBytes = 5 + (nBody >= 0 ? 2 + nBody : 0);
            if (nLoopBytes > 0 && nLoopBytes + nBytes > kMaxSectionBytes - kSdtSectionOverhead) {
                break;
            }
            dvbpsi_sdt_service_t* pService = dvbpsi_sdt_service_add(
                &sdt.t, uint16_t(nNumber), false, false, kRunningStatusRunning,
                isFreeCa && isFreeCa(program));
            if (pService == nullptr || (nBody >= 0 && dvbpsi_sdt_service_descriptor_add(
                                                          pService, kServiceDescriptorTag,
                                                          uint8_t(nBody), body) == nullptr)) {
                LogPrint(kLogError, "mux: PSI generation: SDT entry of service %d failed", nNumber);
                return false;
            }
            nLoopBytes += nBytes;
        }
        CSectionList sections(dvbpsi_sdt_sections_generate(h, &sdt.t), &dvbpsi_DeletePSISections);
        if (!sections) {
            LogPrint(kLogError, "mux: PSI generation: SDT failed");
            return false;
        }
        vSdt.push_back(std::move(sections));
    } while (nNext < vPrograms.size());
    if (vSdt.size() > 1) {
        int nTotal = 0;
        for (const CSectionList& list : vSdt) {
            nTotal += CountSections(list.get());
        }
        int nNumber = 0;
        for (const CSectionList& list : vSdt) {
            for (dvbpsi_psi_section_t* p = list.get(); p != nullptr; p = p->p_next) {
                p->i_number = uint8_t(nNumber++);
                p->i_last_number = uint8_t(nTotal - 1);
                dvbpsi_BuildPSISection(h, p); // rewrites the header and the CRC_32
            }
        }
    }
    table.nPid = kPidSdt;
    table.nTableId = kTableIdSdt;
    for (const CSectionList& list : vSdt) {
        PacketizeSections(kPidSdt, list.get(), table.vPackets);
    }
    return true;
}

bool WriteNit(dvbpsi_t* h, const COutIdentity& identity, int nVersion, CPsiTable& table)
{
    CDvbpsiTable<dvbpsi_nit_t, dvbpsi_nit_empty> nit;
    // A NIT's table_id_extension is its network_id.
    const uint16_t nNetworkId = uint16_t(identity.nNetworkId);
    dvbpsi_nit_init(&nit.t, kTableIdNit, nNetworkId, nNetworkId, uint8_t(nVersion), true);
    const std::string& sName = identity.sNetworkName;
    if (!sName.empty() &&
        dvbpsi_nit_descriptor_add(&nit.t, kNetworkNameDescriptorTag, uint8_t(sName.size()),
                                  reinterpret_cast<uint8_t*>(const_cast<char*>(sName.data()))) ==
            nullptr) {
        LogPrint(kLogError, "mux: PSI generation: network name descriptor failed");
        return false;
    }
    return TakeSections(dvbpsi_nit_sections_generate(h, &nit.t, kTableIdNit), kPidNit, kTableIdNit,
                        "NIT", table);
}

int BuildServiceDescriptor(unsigned char* pBuf, int nCapacity, const std::string& sProvider,
                           const std::string& sName, int nServiceType)
{
    // Each name's length goes into one byte.
    if (sProvider.size() > 0xFF || sName.size() > 0xFF) {
        return -1;
    }
    const int nSize = int(sProvider.size() + sName.size()) + 3;
    if (nCapacity < nSize) {
        return -1;
    }
    std::memset(pBuf, 0, size_t(nCapacity));
    unsigned char* p = pBuf;
    *p++ = uint8_t(nServiceType);
    *p++ = uint8_t(sProvider.size());
    std::memcpy(p, sProvider.data(), sProvider.size());
    p += sProvider.size();
    *p++ = uint8_t(sName.size());
    std::memcpy(p, sName.data(), sName.size());
    return nSize;
}
