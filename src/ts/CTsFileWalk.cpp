#include "ts/CTsFileWalk.h"

#include "ts/TsConstants.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

CTsFileWalk::EResult CTsFileWalk::Open(const char* path)
{
    errno = 0;
    m_pFile.reset(path != nullptr ? fopen(path, "rb") : nullptr);
    if (!m_pFile) {
        m_nErrno = path != nullptr ? errno : EINVAL;
        return EResult::kCannotOpen;
    }
    m_vBuffer.resize(size_t(kSyncProbeBytes));
    m_nProbe = int(fread(m_vBuffer.data(), 1, m_vBuffer.size(), m_pFile.get()));
    m_llBytesRead = m_nProbe;
    m_bProbeEnd = feof(m_pFile.get()) != 0;
    if (ferror(m_pFile.get()) != 0) {
        m_nErrno = errno;
        return EResult::kReadError;
    }
    if (m_nProbe == 0) {
        return EResult::kEmpty;
    }
    if (!m_walker.Start(m_vBuffer.data(), m_nProbe, m_bProbeEnd)) {
        m_sNoPackets = DescribeNoPackets(m_vBuffer.data(), m_nProbe);
        return EResult::kNoPackets;
    }
    return EResult::kOk;
}

CTsFileWalk::EResult CTsFileWalk::Walk(long long llLimit, ITsPacketSink& sink,
                                       const std::function<bool()>& goOn)
{
    FILE* pFile = m_pFile.get();
    if (pFile == nullptr || GetLayout().nStep <= 0) {
        return EResult::kReadError;
    }
    if (m_nProbe < 0) {
        // A walk before this one: from the first byte again.
        if (fseek(pFile, 0, SEEK_SET) != 0) {
            m_nErrno = errno;
            return EResult::kReadError;
        }
        clearerr(pFile);
        m_walker.Restart();
    }
    m_walker.FitBuffer(int(m_vBuffer.size()));
    long long llTaken = 0; // file bytes handed to the walker
    int nCarry = 0;        // bytes it left at the buffer's start
    for (;;) {
        const long long llWant =
            std::min<long long>(llLimit - llTaken, (long long)m_vBuffer.size() - nCarry);
        int nRead = 0;
        bool bFileEnd = false;
        if (m_nProbe >= 0) {
            nRead = int(std::min<long long>(m_nProbe, llWant));
            bFileEnd = m_bProbeEnd && nRead == m_nProbe;
            m_nProbe = -1;
        } else {
            nRead = int(fread(m_vBuffer.data() + nCarry, 1, size_t(llWant), pFile));
            m_llBytesRead += nRead;
            if (ferror(pFile) != 0) {
                m_nErrno = errno;
                return EResult::kReadError;
            }
            bFileEnd = feof(pFile) != 0 || nRead == 0;
        }
        llTaken += nRead;
        const bool bEnd = bFileEnd || llTaken >= llLimit;
        const int nTotal = nCarry + nRead;
        nCarry = m_walker.Walk(m_vBuffer.data(), nTotal, bEnd, sink);
        if (bEnd || m_walker.IsStopped() || (goOn && !goOn())) {
            return EResult::kOk;
        }
        std::memmove(m_vBuffer.data(), m_vBuffer.data() + nTotal - nCarry, size_t(nCarry));
    }
}
