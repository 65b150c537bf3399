#include "mux/PsiTables.h"

#include "log/CLogger.h"
#include "mux/COutIdentity.h"
#include "mux/CPsiTable.h"
#include "mux/PsiSections.h"

// libdvbpsi's table headers, after PsiSections.h's.
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>

#include <cstdio>

namespace {

// libdvbpsi copies the body, but takes it through a pointer to non-const.
uint8_t* DescriptorData(const CPmtDescriptor& d)
{
    static uint8_t nNone = 0; // an empty body still gets a valid pointer
    return d.vData.empty() ? &nNone : const_cast<uint8_t*>(d.vData.data());
}

} // namespace

bool WritePat(dvbpsi_t* h, const COutIdentity& identity, const std::vector<COutProgram>& vPrograms,
              int nVersion, CPsiTable& table)
{
    CDvbpsiTable<dvbpsi_pat_t, dvbpsi_pat_empty> pat;
    dvbpsi_pat_init(&pat.t, uint16_t(identity.nTsId), uint8_t(nVersion), true);
    // program_number 0 names the network PID, where the NIT is.
    if (!identity.sNetworkName.empty() && dvbpsi_pat_program_add(&pat.t, 0, kPidNit) == nullptr) {
        LogPrint(kLogError, "mux: PSI generation: PAT entry of the network failed");
        return false;
    }
    for (const COutProgram& program : vPrograms) {
        if (program.bOn && dvbpsi_pat_program_add(&pat.t, uint16_t(program.nProgramNumber),
                                                  uint16_t(program.nPmtPid)) == nullptr) {
            LogPrint(kLogError, "mux: PSI generation: PAT entry of program %d failed",
                     program.nProgramNumber);
            return false;
        }
    }
    // 0 programs per section: the generator fills each section up.
    return TakeSections(dvbpsi_pat_sections_generate(h, &pat.t, 0), kPidPat, kTableIdPat, "PAT",
                        table);
}

bool WritePmt(dvbpsi_t* h, const COutProgram& program, int nVersion, CPsiTable& table)
{
    CDvbpsiTable<dvbpsi_pmt_t, dvbpsi_pmt_empty> pmt;
    dvbpsi_pmt_init(&pmt.t, uint16_t(program.nProgramNumber), uint8_t(nVersion), true,
                    uint16_t(program.nPcrPid));
    const CProgramDescriptors& descriptors = program.descriptors;
    for (const CPmtDescriptor& d : descriptors.vProgramInfo) {
        if (dvbpsi_pmt_descriptor_add(&pmt.t, d.nTag, uint8_t(d.vData.size()), DescriptorData(d)) ==
            nullptr) {
            LogPrint(kLogError, "mux: PSI generation: PMT descriptor of program %d failed",
                     program.nProgramNumber);
            return false;
        }
    }
    for (size_t nEs = 0; nEs < program.vEs.size(); ++nEs) {
        const _ES_INFO& es = program.vEs[nEs];
        dvbpsi_pmt_es_t* pEs =
            dvbpsi_pmt_es_add(&pmt.t, uint8_t(es.nStreamType), uint16_t(es.nPid));
        if (pEs == nullptr) {
            LogPrint(kLogError, "mux: PSI generation: PMT entry of PID 0x%04X failed",
                     unsigned(es.nPid));
            return false;
        }
        if (nEs >= descriptors.vEs.size()) {
            continue;
        }
        for (const CPmtDescriptor& d : descriptors.vEs[nEs]) {
            if (dvbpsi_pmt_es_descriptor_add(pEs, d.nTag, uint8_t(d.vData.size()),
                                             DescriptorData(d)) == nullptr) {
                LogPrint(kLogError, "mux: PSI generation: descriptor of PID 0x%04X failed",
                         unsigned(es.nPid));
                return false;
            }
        }
    }
    char szTable[32];
    snprintf(szTable, sizeof(szTable), "PMT of program %d", program.nProgramNumber);
    return TakeSections(dvbpsi_pmt_sections_generate(h, &pmt.t), program.nPmtPid, kTableIdPmt,
                        szTable, table);
}
