#include "input/CCatAnalyzer.h"

#include "log/CLogger.h"
#include "ts/TsConstants.h"

// libdvbpsi's headers need these first, in this order.
#include <stdbool.h>
#include <stdint.h>

#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/cat.h>

#include <cstring>

namespace {

// As for the other decoders: a packet repeated is no fault to report.
void OnDvbpsiMessage(dvbpsi_t*, const dvbpsi_msg_level_t, const char* szMsg) noexcept
{
    if (szMsg == nullptr || strstr(szMsg, "TS duplicate") != nullptr) {
        return;
    }
    LogPrint(kLogDebug, "%s", szMsg);
}

struct CCatDeleter
{
    void operator()(dvbpsi_cat_t* pCat) const noexcept { dvbpsi_cat_delete(pCat); }
};

} // namespace

void CCatAnalyzer::CDecoderDeleter::operator()(dvbpsi_s* pHandle) const noexcept
{
    if (dvbpsi_decoder_present(pHandle)) {
        dvbpsi_cat_detach(pHandle);
    }
    dvbpsi_delete(pHandle);
}

CCatAnalyzer::~CCatAnalyzer() = default;

bool CCatAnalyzer::Push(const unsigned char* pPacket)
{
    if (!m_pDecoder) {
        std::unique_ptr<dvbpsi_s, CDecoderDeleter> pDecoder(
            dvbpsi_new(OnDvbpsiMessage, DVBPSI_MSG_WARN));
        if (!pDecoder || !dvbpsi_cat_attach(pDecoder.get(), OnCat, this)) {
            return false; // tried again with the next packet
        }
        m_pDecoder = std::move(pDecoder);
    }
    m_bChanged = false;
    dvbpsi_packet_push(m_pDecoder.get(), const_cast<unsigned char*>(pPacket));
    return m_bChanged;
}

void CCatAnalyzer::OnCat(void* pData, dvbpsi_cat_s* pCat) noexcept
{
    std::unique_ptr<dvbpsi_cat_t, CCatDeleter> pTable(pCat);
    if (pData == nullptr || !pTable) {
        return;
    }
    try {
        static_cast<CCatAnalyzer*>(pData)->HandleCat(*pTable);
    } catch (...) {
        // Out of memory: the CAT stays as it was; nothing may unwind into libdvbpsi.
    }
}

void CCatAnalyzer::HandleCat(const dvbpsi_cat_s& cat)
{
    if (!cat.b_current_next) {
        return;
    }
    CPmtDescriptorList vList;
    for (const dvbpsi_descriptor_t* d = cat.p_first_descriptor; d != nullptr; d = d->p_next) {
        if (d->i_tag != kDescriptorTagCa) {
            continue; // only the CA descriptors go on into the output's CAT
        }
        CPmtDescriptor descriptor{d->i_tag, {}};
        if (d->p_data != nullptr) {
            descriptor.vData.assign(d->p_data, d->p_data + d->i_length);
        }
        vList.push_back(std::move(descriptor));
    }
    // libdvbpsi delivers the same table again after a continuity jump.
    if (m_bHasCat && vList == m_vDescriptors) {
        return;
    }
    m_vDescriptors = std::move(vList);
    m_bHasCat = true;
    m_bChanged = true;
}
