#pragma once

#include "input/CProgramDescriptors.h"

#include <memory>

struct dvbpsi_s;
struct dvbpsi_cat_s;

// Follows an input's CAT (PID 0x0001) and keeps the CA descriptors of its
// current version: they name the EMM PIDs of the input's CA systems. Fed by
// the input's PSI analyzer, which owns it, on the reader thread; no lock.
class CCatAnalyzer
{
public:
    CCatAnalyzer() = default;
    ~CCatAnalyzer();
    CCatAnalyzer(const CCatAnalyzer&) = delete;
    CCatAnalyzer& operator=(const CCatAnalyzer&) = delete;

    // One packet of PID 0x0001. True when the CAT it completes says
    // something new (its first one, or other CA descriptors).
    bool Push(const unsigned char* pPacket);

    // A CAT has been decoded.
    bool HasCat() const { return m_bHasCat; }
    // Its CA descriptors, in CAT order.
    const CPmtDescriptorList& GetDescriptors() const { return m_vDescriptors; }

    // libdvbpsi's table callback; pData is the analyzer.
    static void OnCat(void* pData, dvbpsi_cat_s* pCat) noexcept;

private:
    struct CDecoderDeleter
    {
        void operator()(dvbpsi_s* pHandle) const noexcept;
    };
    void HandleCat(const dvbpsi_cat_s& cat);

    std::unique_ptr<dvbpsi_s, CDecoderDeleter> m_pDecoder; // made at the first packet
    CPmtDescriptorList m_vDescriptors;
    bool m_bHasCat = false;
    bool m_bChanged = false; // set by the callback inside Push
};
