// The fixtures every other test relies on, checked byte for byte against
// libdvbpsi's own section generators.
#include "support/CPacketBuilder.h"

#include <gtest/gtest.h>

#include <memory>

#include <stdbool.h>
#include <stdint.h>

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/pmt.h>
#include <dvbpsi/sdt.h>
}

using tsb::CPacketBuilder;

namespace {

struct CDvbpsiDeleter
{
    void operator()(dvbpsi_t* p) const { dvbpsi_delete(p); }
};

// Bytes of the first generated section, CRC_32 included.
tsb::Bytes FirstSection(dvbpsi_psi_section_t* pSections)
{
    EXPECT_NE(pSections, nullptr);
    if (pSections == nullptr) {
        return {};
    }
    EXPECT_EQ(pSections->p_next, nullptr);
    tsb::Bytes bytes(pSections->p_data, pSections->p_payload_end + 4);
    dvbpsi_DeletePSISections(pSections);
    return bytes;
}

std::unique_ptr<dvbpsi_t, CDvbpsiDeleter> NewHandle()
{
    return std::unique_ptr<dvbpsi_t, CDvbpsiDeleter>(dvbpsi_new(nullptr, DVBPSI_MSG_NONE));
}

} // namespace

TEST(CPacketBuilderTest, PatMatchesLibdvbpsi)
{
    auto pHandle = NewHandle();
    dvbpsi_pat_t pat;
    dvbpsi_pat_init(&pat, 0x1234, 7, true);
    dvbpsi_pat_program_add(&pat, 0, 0x10);
    dvbpsi_pat_program_add(&pat, 101, 1011);
    dvbpsi_pat_program_add(&pat, 102, 1021);
    const tsb::Bytes want = FirstSection(dvbpsi_pat_sections_generate(pHandle.get(), &pat, 0));
    dvbpsi_pat_empty(&pat);
    EXPECT_EQ(CPacketBuilder::PatSection(0x1234, {{0, 0x10}, {101, 1011}, {102, 1021}}, 7), want);
}

TEST(CPacketBuilderTest, PmtMatchesLibdvbpsi)
{
    auto pHandle = NewHandle();
    uint8_t vLang[] = {'d', 'e', 'u', 0};
    uint8_t vCa[] = {0x01, 0x00, 0xE1, 0x00};
    dvbpsi_pmt_t pmt;
    dvbpsi_pmt_init(&pmt, 101, 2, true, 0x100);
    dvbpsi_pmt_descriptor_add(&pmt, 0x09, 4, vCa);
    dvbpsi_pmt_es_add(&pmt, 0x02, 0x100);
    dvbpsi_pmt_es_t* pEs = dvbpsi_pmt_es_add(&pmt, 0x04, 0x101);
    dvbpsi_pmt_es_descriptor_add(pEs, 0x0A, 4, vLang);
    const tsb::Bytes want = FirstSection(dvbpsi_pmt_sections_generate(pHandle.get(), &pmt));
    dvbpsi_pmt_empty(&pmt);
    const std::vector<tsb::EsEntry> vEs = {{0x02, 0x100, {}},
                                           {0x04, 0x101, {{0x0A, {'d', 'e', 'u', 0}}}}};
    EXPECT_EQ(CPacketBuilder::PmtSection(101, 0x100, vEs, 2, {{0x09, {0x01, 0x00, 0xE1, 0x00}}}),
              want);
}

TEST(CPacketBuilderTest, SdtMatchesLibdvbpsi)
{
    auto pHandle = NewHandle();
    dvbpsi_sdt_t sdt;
    dvbpsi_sdt_init(&sdt, 0x42, 0x1234, 1, true, 0x0001);
    uint8_t vDesc[] = {0x01, 4, 'p', 'r', 'o', 'v', 3, 'o', 'n', 'e'};
    dvbpsi_sdt_service_t* pService = dvbpsi_sdt_service_add(&sdt, 101, false, false, 4, false);
    dvbpsi_sdt_service_descriptor_add(pService, 0x48, sizeof(vDesc), vDesc);
    const tsb::Bytes want = FirstSection(dvbpsi_sdt_sections_generate(pHandle.get(), &sdt));
    dvbpsi_sdt_empty(&sdt);
    EXPECT_EQ(CPacketBuilder::SdtSection(0x1234, 0x0001, {{101, "prov", "one"}}, 1), want);
}

TEST(CPacketBuilderTest, PatPacketsDecodeThroughLibdvbpsi)
{
    struct CResult
    {
        int nCalls = 0;
        int nTsId = -1;
        int nPrograms = 0;
        int nLastPid = -1;
    } result;
    auto pHandle = NewHandle();
    ASSERT_TRUE(dvbpsi_pat_attach(
        pHandle.get(),
        [](void* pData, dvbpsi_pat_t* pPat) {
            auto* pResult = static_cast<CResult*>(pData);
            ++pResult->nCalls;
            pResult->nTsId = pPat->i_ts_id;
            for (auto* p = pPat->p_first_program; p != nullptr; p = p->p_next) {
                ++pResult->nPrograms;
                pResult->nLastPid = p->i_pid;
            }
            dvbpsi_pat_delete(pPat);
        },
        &result));
    // Enough programs to need two packets.
    std::vector<tsb::PatEntry> vPrograms;
    for (uint16_t i = 1; i <= 60; ++i) {
        vPrograms.push_back({i, uint16_t(0x100 + i)});
    }
    const tsb::Bytes pat = CPacketBuilder::PatSection(9, vPrograms);
    for (tsb::Packet& pkt : CPacketBuilder::Packetize(0, pat)) {
        dvbpsi_packet_push(pHandle.get(), pkt.data());
    }
    dvbpsi_pat_detach(pHandle.get());
    EXPECT_EQ(result.nCalls, 1);
    EXPECT_EQ(result.nTsId, 9);
    EXPECT_EQ(result.nPrograms, 60);
    EXPECT_EQ(result.nLastPid, 0x100 + 60);
}
