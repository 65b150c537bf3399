#pragma once

#include "ts/CTsWalker.h"

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A TS file walked from its first byte for its rate: its first
// kSyncProbeBytes read at once to find the packets (as the file reader finds
// them), then reads of that size, each packet handed to a sink. Nothing
// larger is held, so that estimating costs no more memory than reading.
// Used by one thread; owns the file it opens.
class CTsFileWalk
{
public:
    enum class EResult { kOk, kCannotOpen, kReadError, kEmpty, kNoPackets };

    // Opens the file and finds its packets; GetErrno says why it failed.
    EResult Open(const char* path);
    // Walks the file from its first byte into sink, no further than llLimit
    // bytes, the last of them taken as the stream's end. goOn, asked after
    // each read that leaves more, may end the walk there. kOk or kReadError.
    EResult Walk(long long llLimit, ITsPacketSink& sink, const std::function<bool()>& goOn = {});

    const CTsLayout& GetLayout() const { return m_walker.GetLayout(); }
    long long GetBytesRead() const { return m_llBytesRead; } // by every walk
    int GetErrno() const { return m_nErrno; }
    // What the file starts with, after kNoPackets.
    const std::string& GetNoPackets() const { return m_sNoPackets; }

private:
    struct CCloser
    {
        void operator()(FILE* pFile) const { fclose(pFile); }
    };

    std::unique_ptr<FILE, CCloser> m_pFile;
    std::vector<unsigned char> m_vBuffer;
    int m_nProbe = 0;         // bytes of the file's start still in the buffer; -1 none
    bool m_bProbeEnd = false; // the file ends within them
    CTsWalker m_walker;
    long long m_llBytesRead = 0;
    int m_nErrno = 0;
    std::string m_sNoPackets;
};
