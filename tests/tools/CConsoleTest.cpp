#include "CConsole.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <string>
#include <tuple>

namespace {

class CConsoleTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_cd = iconv_open("UTF-8", "GBK");
        if (m_cd == reinterpret_cast<iconv_t>(-1)) {
            GTEST_SKIP() << "no GBK converter in this C library";
        }
    }
    void TearDown() override
    {
        if (m_cd != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(m_cd);
        }
    }
    iconv_t m_cd = reinterpret_cast<iconv_t>(-1);
};

} // namespace

TEST_F(CConsoleTest, GbkLinesBecomeReadableAndOthersStayAsTheyAre)
{
    // "the output buffer is short", as the library logs it.
    const std::string sGbk = "\xca\xe4\xb3\xf6\xbb\xba\xb3\xe5\xb2\xbb\xd7\xe3";
    EXPECT_EQ(CConsole::GbkToUtf8(m_cd, "PAT " + sGbk + " 1"),
              "PAT \xe8\xbe\x93\xe5\x87\xba\xe7\xbc\x93\xe5\x86\xb2\xe4\xb8\x8d\xe8\xb6\xb3 1");
    EXPECT_EQ(CConsole::GbkToUtf8(m_cd, "debug: plain"), "debug: plain");
    // A cut pair is no GBK: the bytes are kept rather than lost.
    EXPECT_EQ(CConsole::GbkToUtf8(m_cd, "x\xca"), "x\xca");
    // A failed line leaves no state behind for the next one.
    EXPECT_EQ(CConsole::GbkToUtf8(m_cd, sGbk.substr(0, 2)), "\xe8\xbe\x93");
    EXPECT_EQ(CConsole::GbkToUtf8(reinterpret_cast<iconv_t>(-1), sGbk), sGbk);
}

// The library's debug lines (decoder notes, loop passes) wait for -v; its
// own thread-end texts, warnings, errors and the table report show as ever.
TEST(CConsoleLinesTest, DebugLinesShowOnlyWhenVerboseButForTheThreadEnds)
{
    struct Case
    {
        int nLevel;
        const char* szLine;
        bool bQuiet, bDefault, bVerbose; // shown at each verbosity
    };
    for (const Case& c : {
             Case{0, "libdvbpsi error (PSI decoder): TS discontinuity", false, false, true},
             Case{0, "pass 2 from the start: a.ts ", false, false, true},
             Case{0, "Mux Thread exit", false, true, true},
             Case{0, "Sout Thread exit", false, true, true},
             Case{0, "Reched the end of the file,source thread exit: a.ts ", false, true, true},
             Case{0, "Mux Thread exit, and more", false, false, true},
             Case{1, "warning", false, true, true},
             Case{2, "error", true, true, true},
             Case{3, "PCR_PID=0x100 (256)", false, true, true},
         }) {
        for (const auto& [bQuiet, bVerbose, bShown] :
             {std::tuple{true, false, c.bQuiet}, {false, false, c.bDefault},
              {false, true, c.bVerbose}}) {
            EXPECT_EQ(CConsole::ShowsLibraryLine(c.nLevel, c.szLine, bQuiet, bVerbose), bShown)
                << c.szLine;
        }
    }
}
