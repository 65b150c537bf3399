#include "mux/PmtDescriptors.h"

#include "input/CaPids.h"
#include "ts/TsConstants.h"

#include <algorithm>
#include <vector>

namespace {

// Descriptors a receiver needs to know what a stream is: for stream_type
// 0x06 they are the only way to tell AC-3 from subtitles or teletext.
constexpr uint8_t kEssentialTags[] = {
    0x05, // registration
    0x09, // CA (only kept when CA passes: without it the program cannot be descrambled)
    0x0A, // ISO 639 language
    0x46, // VBI teletext
    0x52, // stream identifier
    0x56, // teletext
    0x59, // subtitling
    0x6A, // AC-3
    0x7A, // enhanced AC-3
    0x7B, // DTS
    0x7C, // AAC
    0x7F, // extension (AC-4, DTS-HD and others)
};

// Lower ranks are left out first.
int RankOf(uint8_t nTag)
{
    if (std::find(std::begin(kEssentialTags), std::end(kEssentialTags), nTag) !=
        std::end(kEssentialTags)) {
        return 2;
    }
    return nTag >= kDescriptorTagUserPrivate ? 0 : 1;
}

int LoopBytes(const CPmtDescriptorList& vList)
{
    int nBytes = 0;
    for (const CPmtDescriptor& descriptor : vList) {
        nBytes += kDescriptorHeaderBytes + int(descriptor.vData.size());
    }
    return nBytes;
}

int RemoveCa(CPmtDescriptorList& vList)
{
    const auto it = std::remove_if(vList.begin(), vList.end(), [](const CPmtDescriptor& d) {
        return d.nTag == kDescriptorTagCa;
    });
    const int nRemoved = int(vList.end() - it);
    vList.erase(it, vList.end());
    return nRemoved;
}

} // namespace

int RemoveCaDescriptors(CProgramDescriptors& descriptors)
{
    int nRemoved = RemoveCa(descriptors.vProgramInfo);
    for (CPmtDescriptorList& vList : descriptors.vEs) {
        nRemoved += RemoveCa(vList);
    }
    return nRemoved;
}

int PassCaDescriptors(CProgramDescriptors& descriptors, const std::function<int(int)>& OutPid)
{
    int nLeftOut = RewriteCaPids(descriptors.vProgramInfo, OutPid);
    for (CPmtDescriptorList& vList : descriptors.vEs) {
        nLeftOut += RewriteCaPids(vList, OutPid);
    }
    return nLeftOut;
}

int PmtSectionBytes(const CProgramDescriptors& descriptors, size_t nStreams)
{
    int nBytes =
        kPmtFixedBytes + LoopBytes(descriptors.vProgramInfo) + kPmtEsEntryBytes * int(nStreams);
    for (size_t i = 0; i < descriptors.vEs.size() && i < nStreams; ++i) {
        nBytes += LoopBytes(descriptors.vEs[i]);
    }
    return nBytes;
}

CPmtFit FitPmtSection(CProgramDescriptors& descriptors, size_t nStreams, int nMaxBytes)
{
    CPmtFit fit;
    fit.nBytesBefore = PmtSectionBytes(descriptors, nStreams);
    fit.nBytesAfter = fit.nBytesBefore;
    if (fit.nBytesBefore <= nMaxBytes) {
        return fit;
    }

    // Loop 0 is program_info, loop k the k-th stream's.
    std::vector<CPmtDescriptorList*> vLoops;
    vLoops.push_back(&descriptors.vProgramInfo);
    for (size_t i = 0; i < descriptors.vEs.size() && i < nStreams; ++i) {
        vLoops.push_back(&descriptors.vEs[i]);
    }
    struct CCandidate
    {
        int nRank;
        int nLoopKey; // streams from the last one backwards, then program_info
        size_t nLoop;
        size_t nPos;
    };
    std::vector<CCandidate> vOrder;
    for (size_t nLoop = 0; nLoop < vLoops.size(); ++nLoop) {
        for (size_t nPos = 0; nPos < vLoops[nLoop]->size(); ++nPos) {
            const int nKey = nLoop == 0 ? -1 : int(nLoop);
            vOrder.push_back(CCandidate{RankOf((*vLoops[nLoop])[nPos].nTag), nKey, nLoop, nPos});
        }
    }
    std::sort(vOrder.begin(), vOrder.end(), [](const CCandidate& a, const CCandidate& b) {
        if (a.nRank != b.nRank) {
            return a.nRank < b.nRank;
        }
        if (a.nLoopKey != b.nLoopKey) {
            return a.nLoopKey > b.nLoopKey;
        }
        return a.nPos > b.nPos;
    });

    std::vector<std::vector<bool>> vDrop(vLoops.size());
    for (size_t nLoop = 0; nLoop < vLoops.size(); ++nLoop) {
        vDrop[nLoop].assign(vLoops[nLoop]->size(), false);
    }
    for (const CCandidate& candidate : vOrder) {
        if (fit.nBytesAfter <= nMaxBytes) {
            break;
        }
        const CPmtDescriptor& d = (*vLoops[candidate.nLoop])[candidate.nPos];
        vDrop[candidate.nLoop][candidate.nPos] = true;
        fit.nBytesAfter -= kDescriptorHeaderBytes + int(d.vData.size());
        ++fit.nDropped;
    }

    for (size_t nLoop = 0; nLoop < vLoops.size(); ++nLoop) {
        CPmtDescriptorList& vList = *vLoops[nLoop];
        CPmtDescriptorList vKept;
        for (size_t nPos = 0; nPos < vList.size(); ++nPos) {
            if (!vDrop[nLoop][nPos]) {
                vKept.push_back(std::move(vList[nPos]));
            }
        }
        vList.swap(vKept);
    }
    return fit;
}
