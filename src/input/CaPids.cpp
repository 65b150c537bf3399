#include "input/CaPids.h"

#include "input/CInputTables.h"

#include "ts/TsConstants.h"

#include <algorithm>

namespace {

constexpr int kPidMask = kPidCount - 1;
constexpr int kFirstCarriedPid = 0x0020; // below: PSI and SI of the transport stream

// A CA_PID that names a table PID or the null PID names nothing the output
// could carry as a program's.
bool IsCarried(int nPid)
{
    return nPid >= kFirstCarriedPid && nPid != kPidNull;
}

void AddCaPids(const CPmtDescriptorList& vList, std::vector<int>& vPids)
{
    for (const CPmtDescriptor& d : vList) {
        const int nPid = CaPidOf(d);
        if (IsCarried(nPid)) {
            vPids.push_back(nPid);
        }
    }
}

void SortUnique(std::vector<int>& vPids)
{
    std::sort(vPids.begin(), vPids.end());
    vPids.erase(std::unique(vPids.begin(), vPids.end()), vPids.end());
}

} // namespace

int CaPidOf(const CPmtDescriptor& descriptor)
{
    if (descriptor.nTag != kDescriptorTagCa || descriptor.vData.size() < size_t(kCaDescriptorMinBytes)) {
        return -1;
    }
    return ((descriptor.vData[2] << 8) | descriptor.vData[3]) & kPidMask;
}

bool SetCaPid(CPmtDescriptor& descriptor, int nPid)
{
    if (CaPidOf(descriptor) < 0) {
        return false;
    }
    descriptor.vData[2] = uint8_t((descriptor.vData[2] & 0xE0) | ((nPid >> 8) & 0x1F));
    descriptor.vData[3] = uint8_t(nPid & 0xFF);
    return true;
}

std::vector<int> CaPidsOf(const CPmtDescriptorList& vList)
{
    std::vector<int> vPids;
    AddCaPids(vList, vPids);
    SortUnique(vPids);
    return vPids;
}

std::vector<int> EcmPidsOf(const CProgramDescriptors& descriptors)
{
    std::vector<int> vPids;
    AddCaPids(descriptors.vProgramInfo, vPids);
    for (const CPmtDescriptorList& vList : descriptors.vEs) {
        AddCaPids(vList, vPids);
    }
    SortUnique(vPids);
    return vPids;
}

bool HasCaDescriptors(const CProgramDescriptors& descriptors)
{
    auto IsCa = [](const CPmtDescriptor& d) { return d.nTag == kDescriptorTagCa; };
    if (std::any_of(descriptors.vProgramInfo.begin(), descriptors.vProgramInfo.end(), IsCa)) {
        return true;
    }
    return std::any_of(descriptors.vEs.begin(), descriptors.vEs.end(),
                       [&](const CPmtDescriptorList& v) {
                           return std::any_of(v.begin(), v.end(), IsCa);
                       });
}

int RewriteCaPids(CPmtDescriptorList& vList, const std::function<int(int)>& OutPid)
{
    int nLeftOut = 0;
    CPmtDescriptorList vKept;
    for (CPmtDescriptor& d : vList) {
        const int nPid = CaPidOf(d);
        if (d.nTag == kDescriptorTagCa) {
            const int nOut = IsCarried(nPid) ? OutPid(nPid) : -1;
            if (nOut < 0) {
                ++nLeftOut;
                continue;
            }
            SetCaPid(d, nOut);
        }
        vKept.push_back(std::move(d));
    }
    vList.swap(vKept);
    return nLeftOut;
}

std::vector<int> CInputTables::CaPids() const
{
    std::vector<int> vPids = CaPidsOf(vCat);
    for (const CProgramDescriptors& descriptors : vDescriptors) {
        const std::vector<int> vEcm = EcmPidsOf(descriptors);
        vPids.insert(vPids.end(), vEcm.begin(), vEcm.end());
    }
    SortUnique(vPids);
    return vPids;
}
