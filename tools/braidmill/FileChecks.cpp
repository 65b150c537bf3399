#include "FileChecks.h"

#include "CCommandLine.h"
#include "CConsole.h"
#include "ExitStatus.h"
#include "IoNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// An input must be a readable file; a directory opens but reads nothing.
bool CheckInput(const std::string& sPath, std::string& sReason)
{
    struct stat st = {};
    if (stat(sPath.c_str(), &st) != 0) {
        sReason = std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        sReason = std::strerror(EISDIR);
        return false;
    }
    FILE* pFile = std::fopen(sPath.c_str(), "rb");
    if (!pFile) {
        sReason = std::strerror(errno);
        return false;
    }
    std::fclose(pFile);
    return true;
}

// Whether the output can be created, found without creating or truncating
// it: the output is opened only after the inputs proved usable.
bool CheckOutput(const std::string& sPath, std::string& sReason)
{
    struct stat st = {};
    if (stat(sPath.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            sReason = std::strerror(EISDIR);
            return false;
        }
        if (access(sPath.c_str(), W_OK) != 0) {
            sReason = std::strerror(errno);
            return false;
        }
        return true;
    }
    const size_t nSlash = sPath.rfind('/');
    const std::string sDir = nSlash == std::string::npos ? "." : sPath.substr(0, nSlash + 1);
    if (access(sDir.c_str(), W_OK) != 0) {
        sReason = std::strerror(errno);
        return false;
    }
    return true;
}

// The same inode, also reached through a hard or symbolic link, is the
// same file.
bool IsSameFile(const std::string& sA, const std::string& sB)
{
    struct stat a = {};
    struct stat b = {};
    return stat(sA.c_str(), &a) == 0 && stat(sB.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

} // namespace

int CheckFiles(const CCommandLine& cmd, const std::vector<CRunInput>& inputs, CConsole& console)
{
    const std::string& sOut = cmd.sOutput;
    // Standard output (by any name) and the network are no files to create.
    const bool bFileOut = !IsStdoutName(sOut.c_str()) && !IsNetworkName(sOut.c_str());
    std::string sReason;
    for (const CRunInput& input : inputs) {
        // Opening a FIFO here would wait for its writer.
        if (input.bStream) {
            continue;
        }
        if (!CheckInput(input.sPath, sReason)) {
            console.Error("cannot open input file " + input.sPath + ": " + sReason);
            return kExitIo;
        }
    }
    for (const CRunInput& input : inputs) {
        if (bFileOut && IsSameFile(input.sPath, sOut)) {
            console.Error("output file " + sOut + " is also an input");
            return kExitIo;
        }
        if (!cmd.sStatsPath.empty() && IsSameFile(input.sPath, cmd.sStatsPath)) {
            console.Error("statistics file " + cmd.sStatsPath + " is also an input");
            return kExitIo;
        }
    }
    if (!cmd.sStatsPath.empty() && (cmd.sStatsPath == sOut || IsSameFile(cmd.sStatsPath, sOut))) {
        console.Error("statistics file " + cmd.sStatsPath + " is also the output");
        return kExitIo;
    }
    if (bFileOut && !CheckOutput(sOut, sReason)) {
        console.Error("cannot create output file " + sOut + ": " + sReason);
        return kExitIo;
    }
    if (!cmd.sStatsPath.empty() && !CheckOutput(cmd.sStatsPath, sReason)) {
        console.Error("cannot create statistics file " + cmd.sStatsPath + ": " + sReason);
        return kExitIo;
    }
    return kExitOk;
}
