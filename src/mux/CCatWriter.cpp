#include "mux/CCatWriter.h"

#include "input/CaPids.h"
#include "log/CLogger.h"
#include "mux/CPsiTable.h"
#include "mux/MuxConstants.h"
#include "mux/PsiSections.h"
#include "ts/TsConstants.h"

// libdvbpsi's table headers, after PsiSections.h's.
#include <dvbpsi/descriptor.h>
#include <dvbpsi/cat.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// Header through last_section_number, and the CRC_32, around the descriptors.
constexpr int kCatSectionOverhead = 12;

} // namespace

bool CCatWriter::SetInput(int nInput, bool bHasCat, const CPmtDescriptorList& vCat, int* pPidMap,
                          std::vector<uint8_t>& vUsed)
{
    if (!bHasCat) {
        return m_inputs.erase(nInput) > 0;
    }
    CPmtDescriptorList vOut = vCat;
    const int nLeftOut = RewriteCaPids(vOut, [&](int nInPid) {
        // Once given, an EMM PID stays, whatever the CAT says later.
        if (pPidMap[nInPid] >= 0) {
            return pPidMap[nInPid];
        }
        for (int nPid = kFirstEmmPid; nPid <= kLastEmmPid; ++nPid) {
            if (vUsed[size_t(nPid)] == 0) {
                vUsed[size_t(nPid)] = 1;
                pPidMap[nInPid] = nPid;
                LogPrint(kLogDebug, "mux: input %d: EMM PID 0x%04X -> 0x%04X", nInput,
                         unsigned(nInPid), unsigned(nPid));
                return nPid;
            }
        }
        return -1;
    });
    if (nLeftOut > 0) {
        LogPrint(kLogError,
                 "mux: input %d: %d CA descriptors of its CAT left out: no EMM PID left "
                 "(0x%04X to 0x%04X), or one that names no PID",
                 nInput, nLeftOut, unsigned(kFirstEmmPid), unsigned(kLastEmmPid));
    }
    const auto it = m_inputs.find(nInput);
    if (it != m_inputs.end() && it->second == vOut) {
        return false;
    }
    m_inputs[nInput] = std::move(vOut);
    return true;
}

CPmtDescriptorList CCatWriter::GetDescriptors() const
{
    CPmtDescriptorList vAll;
    int nBytes = kCatSectionOverhead;
    int nLeftOut = 0;
    for (const auto& entry : m_inputs) {
        for (const CPmtDescriptor& d : entry.second) {
            // The same system on the same PID said twice is said once.
            if (std::find(vAll.begin(), vAll.end(), d) != vAll.end()) {
                continue;
            }
            const int nSize = kDescriptorHeaderBytes + int(d.vData.size());
            if (nBytes + nSize > kMaxSectionBytes) {
                ++nLeftOut;
                continue;
            }
            nBytes += nSize;
            vAll.push_back(d);
        }
    }
    if (nLeftOut > 0) {
        LogPrint(kLogWarning, "mux: %d CA descriptors left out of the CAT: its section holds %d bytes",
                 nLeftOut, kMaxSectionBytes);
    }
    return vAll;
}

bool CCatWriter::Build(dvbpsi_s* h, int nVersion, CPsiTable& table) const
{
    dvbpsi_cat_t cat;
    std::memset(&cat, 0, sizeof(cat));
    dvbpsi_cat_init(&cat, uint8_t(nVersion), true);
    // Emptied on every way out.
    std::unique_ptr<dvbpsi_cat_t, decltype(&dvbpsi_cat_empty)> pCat(&cat, &dvbpsi_cat_empty);
    for (const CPmtDescriptor& d : GetDescriptors()) {
        // libdvbpsi copies the body, but takes it through a pointer to non-const.
        uint8_t* pData = const_cast<uint8_t*>(d.vData.data());
        if (dvbpsi_cat_descriptor_add(&cat, d.nTag, uint8_t(d.vData.size()), pData) == nullptr) {
            LogPrint(kLogError, "mux: PSI generation: CAT descriptor failed");
            return false;
        }
    }
    std::unique_ptr<dvbpsi_psi_section_t, decltype(&dvbpsi_DeletePSISections)> pSections(
        dvbpsi_cat_sections_generate(h, &cat), &dvbpsi_DeletePSISections);
    if (!pSections) {
        LogPrint(kLogError, "mux: PSI generation: CAT failed");
        return false;
    }
    table.nPid = kPidCat;
    table.nTableId = kTableIdCat;
    table.vPackets.clear();
    PacketizeSections(kPidCat, pSections.get(), table.vPackets);
    return true;
}
