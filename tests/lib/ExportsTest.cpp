#include "braidmill.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// Demangled names of the symbols the shared library defines and exports,
// with their nm type letters.
struct CSymbol
{
    char cType;
    std::string sName;
};

std::vector<CSymbol> ExportedSymbols()
{
    std::vector<CSymbol> vSymbols;
    const std::string sCommand = std::string("nm -D --defined-only -C '") + BM_LIBRARY_PATH + "'";
    FILE* pPipe = popen(sCommand.c_str(), "r");
    if (pPipe == nullptr) {
        return vSymbols;
    }
    char szLine[4096];
    while (fgets(szLine, sizeof(szLine), pPipe) != nullptr) {
        std::string sLine(szLine);
        while (!sLine.empty() && (sLine.back() == '\n' || sLine.back() == '\r')) {
            sLine.pop_back();
        }
        // "<address> <type> <name>"
        const size_t nType = sLine.find(' ');
        if (nType == std::string::npos || nType + 3 > sLine.size()) {
            continue;
        }
        vSymbols.push_back({sLine[nType + 1], sLine.substr(nType + 3)});
    }
    pclose(pPipe);
    return vSymbols;
}

bool IsIdentChar(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// True when sToken occurs in sName as a whole identifier (CInputModule does
// not match CInputModuleIface), followed by sAfter when that is given.
bool HasToken(const std::string& sName, const std::string& sToken, const std::string& sAfter)
{
    for (size_t nPos = sName.find(sToken); nPos != std::string::npos;
         nPos = sName.find(sToken, nPos + 1)) {
        const size_t nEnd = nPos + sToken.size();
        const bool bStart = nPos == 0 || !IsIdentChar(sName[nPos - 1]);
        const bool bEnd = nEnd == sName.size() || !IsIdentChar(sName[nEnd]);
        if (bStart && bEnd && sName.compare(nEnd, sAfter.size(), sAfter) == 0) {
            return true;
        }
    }
    return false;
}

// Weak instantiations of standard templates may be exported by the
// compiler whatever the visibility; they are not our interface.
bool IsStdInstantiation(const CSymbol& symbol)
{
    const bool bWeak = symbol.cType == 'W' || symbol.cType == 'V' || symbol.cType == 'u';
    const std::string& s = symbol.sName;
    return bWeak && (s.rfind("std::", 0) == 0 || s.rfind("__gnu_cxx::", 0) == 0 ||
                     s.find(" std::") != std::string::npos);
}

} // namespace

TEST(ExportsTest, SampleExportsHoldTheirValues)
{
    EXPECT_EQ(fnlibbraidmill(), 42);
    EXPECT_EQ(nlibbraidmill, 0);
    Clibbraidmill a;
    Clibbraidmill b;
    EXPECT_EQ(&(a = b), &a);
}

TEST(ExportsTest, MissingFileRateIsMinusOne)
{
    EXPECT_EQ(GetSourceRate("/nonexistent/dir/none.ts"), -1);
}

TEST(ExportsTest, LibraryExportsThePublicInterfaceOnly)
{
    const std::vector<CSymbol> vSymbols = ExportedSymbols();
    ASSERT_FALSE(vSymbols.empty()) << "nm gave nothing for " << BM_LIBRARY_PATH;

    // Exported names the public header promises (a sample of every class).
    const char* const vRequired[] = {
        "CInputModuleIface::RecvOnePacket(unsigned char*, int)",
        "CInputModuleIface::GetOnePacket(long long&, long long&, int&)",
        "CInputModuleIface::CanNeverBeReady()",
        "CInputModuleIface::ChoosePrograms(std::vector<int, std::allocator<int> > const&)",
        "CInputModuleIface::GetProgramShare()",
        "CMuxIface::SetOutputProgramNumber(int, int, int)",
        "CMuxIface::Run()",
        "CMuxIface::WaitFinish()",
        "CMuxIface::SetOutputBitRate(float)",
        "CMuxIface::SetCaPass(bool)",
        "COutPutModuleBase::COutPutModuleBase()",
        "COutPutModuleFile::OpenFile(char const*)",
        "COutPutModuleFile::RenderOnePacket(unsigned char*)",
        "COutPutModuleFile::HasWriteError() const",
        "CSourceBase::StartRead()",
        "CSourceBase::InitBuffer(int)",
        "CSourceFile::OpenFile(char const*)",
        "GetSourceRate(char const*)",
        "GetSourcePacketSize(char const*)",
        "ScanSourceRate(char const*, BraidmillRateScan&)",
        "GetNetworkNameBytes(char const*)",
        "fnlibbraidmill()",
        "nlibbraidmill",
        "Clibbraidmill::Clibbraidmill()",
        "Clibbraidmill::operator=(Clibbraidmill const&)",
    };
    for (const char* szRequired : vRequired) {
        bool bFound = false;
        for (const CSymbol& symbol : vSymbols) {
            bFound = bFound || symbol.sName == szRequired;
        }
        EXPECT_TRUE(bFound) << "not exported: " << szRequired;
    }

    // Internal classes, namespaces and functions: none may leak. The second
    // field is what must follow the name (a class or namespace is followed by
    // "::" in its members; a free function by its parameter list).
    const std::pair<const char*, const char*> vForbidden[] = {
        {"CTsPacket", ""},      {"CPsiSection", ""},     {"CLogger", ""},
        {"CPacketFifo", ""},    {"CMuxCore", ""},        {"CInputModule", ""},
        {"CPsiAnalyzer", ""},   {"CSlotScheduler", ""},  {"CTableCarousel", ""},
        {"CPcrStamper", ""},    {"CTimedQueue", ""},     {"CInputTimeline", ""},
        {"os", "::"},           {"LogPrint", "("},       {"ConsoleLogOutput", "("},
        {"LogOutput", ""},      {"EstimateTsBitRate", "("}, {"WriteBitFields", "("},
        {"Crc32Mpeg", "("},     {"CPcrStepRate", ""},    {"FindTsLayout", "("},
        {"CTsWalker", ""},      {"CPcrRateMeter", ""},   {"CTsFileReader", ""},
        {"CCatAnalyzer", ""},   {"CCatWriter", ""},
    };
    for (const CSymbol& symbol : vSymbols) {
        if (IsStdInstantiation(symbol)) {
            continue;
        }
        for (const auto& forbidden : vForbidden) {
            EXPECT_FALSE(HasToken(symbol.sName, forbidden.first, forbidden.second))
                << "internal name exported: " << symbol.cType << " " << symbol.sName;
        }
    }
}
