#include "log/CLogger.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// What LogOutput was handed, in order.
struct CCaptured
{
    int nLevel;
    std::string sMessage;
};
std::mutex g_mtxCaptured; // guards g_vCaptured
std::vector<CCaptured> g_vCaptured;

void CaptureOutput(int nLevel, std::string sMessage)
{
    std::lock_guard<std::mutex> lock(g_mtxCaptured);
    g_vCaptured.push_back({nLevel, std::move(sMessage)});
}

// Sends standard output to a temporary file for its lifetime. Nothing may
// print through gtest while it is active.
class CStdoutCapture
{
public:
    CStdoutCapture()
    {
        char szPath[] = "/tmp/bm_log_XXXXXX";
        m_fd = mkstemp(szPath);
        m_sPath = szPath;
        fflush(stdout);
        m_fdSaved = dup(STDOUT_FILENO);
        dup2(m_fd, STDOUT_FILENO);
    }
    ~CStdoutCapture()
    {
        Restore();
        close(m_fd);
        unlink(m_sPath.c_str());
    }
    bool IsOpen() const { return m_fd >= 0 && m_fdSaved >= 0; }
    // Restores standard output and returns everything written meanwhile.
    std::string Finish()
    {
        Restore();
        std::ifstream in(m_sPath, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

private:
    void Restore()
    {
        if (m_fdSaved >= 0) {
            fflush(stdout);
            dup2(m_fdSaved, STDOUT_FILENO);
            close(m_fdSaved);
            m_fdSaved = -1;
        }
    }

    int m_fd = -1;
    int m_fdSaved = -1;
    std::string m_sPath;
};

// Every test leaves the hook as it found it.
class CLoggerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pSaved = LogOutput;
        std::lock_guard<std::mutex> lock(g_mtxCaptured);
        g_vCaptured.clear();
    }
    void TearDown() override { LogOutput = m_pSaved; }

private:
    LogOutputFn m_pSaved = nullptr;
};

std::vector<std::string> SplitLines(const std::string& sText)
{
    std::vector<std::string> vLines;
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = sText.find('\n', nStart)) != std::string::npos; nStart = nEnd + 1) {
        vLines.push_back(sText.substr(nStart, nEnd - nStart));
    }
    EXPECT_EQ(nStart, sText.size()) << "text after the last newline";
    return vLines;
}

} // namespace

TEST_F(CLoggerTest, ConsoleWritesPrefixPerLevel)
{
    ASSERT_EQ(LogOutput, &ConsoleLogOutput);
    CStdoutCapture capture;
    ASSERT_TRUE(capture.IsOpen());
    LogPrint(kLogDebug, kMsgMuxThreadExit);
    LogPrint(kLogWarning, "w %d", 1);
    LogPrint(kLogError, "e %s", "x");
    LogPrint(7, "bare");
    LogPrint(-1, "negative");
    LogPrint(kLogDebug, kMsgSourceEnd, "in.ts");
    const std::string sOut = capture.Finish();
    EXPECT_EQ(sOut, "debug: Mux Thread exit\n"
                    "warning: w 1\n"
                    "error: e x\n"
                    "bare\n"
                    "negative\n"
                    "debug: Reched the end of the file,source thread exit: in.ts \n");
}

TEST_F(CLoggerTest, RingFullTextIsGbkBytesPassedThrough)
{
    const unsigned char vGbk[] = {0xCA, 0xE4, 0xB3, 0xF6, 0xBB, 0xBA,
                                  0xB3, 0xE5, 0xB2, 0xBB, 0xD7, 0xE3};
    ASSERT_EQ(std::strlen(kMsgRingFull), sizeof(vGbk));
    EXPECT_EQ(std::memcmp(kMsgRingFull, vGbk, sizeof(vGbk)), 0);

    CStdoutCapture capture;
    ASSERT_TRUE(capture.IsOpen());
    LogPrint(kLogError, kMsgRingFull);
    const std::string sOut = capture.Finish();
    EXPECT_EQ(sOut, std::string("error: ") + std::string(reinterpret_cast<const char*>(vGbk),
                                                         sizeof(vGbk)) + "\n");
}

TEST_F(CLoggerTest, HookReceivesLevelAndFormattedText)
{
    LogOutput = CaptureOutput;
    LogPrint(kLogWarning, "PID 0x%04X: %s", 0x100, "gap");
    CLogger::GetInstance()->Print(5, "%d%%", 50);
    std::lock_guard<std::mutex> lock(g_mtxCaptured);
    ASSERT_EQ(g_vCaptured.size(), 2u);
    EXPECT_EQ(g_vCaptured[0].nLevel, kLogWarning);
    EXPECT_EQ(g_vCaptured[0].sMessage, "PID 0x0100: gap");
    EXPECT_EQ(g_vCaptured[1].nLevel, 5);
    EXPECT_EQ(g_vCaptured[1].sMessage, "50%");
}

TEST_F(CLoggerTest, NullHookDropsMessages)
{
    LogOutput = nullptr;
    CStdoutCapture capture;
    ASSERT_TRUE(capture.IsOpen());
    LogPrint(kLogError, "dropped");
    EXPECT_EQ(capture.Finish(), "");
}

TEST_F(CLoggerTest, LongMessageIsCutTo1023Characters)
{
    const std::string sLong = [] {
        std::string s;
        for (int i = 0; i < 2000; ++i) {
            s.push_back(char('a' + i % 26));
        }
        return s;
    }();
    LogOutput = CaptureOutput;
    LogPrint(kLogDebug, "%s", sLong.c_str());
    {
        std::lock_guard<std::mutex> lock(g_mtxCaptured);
        ASSERT_EQ(g_vCaptured.size(), 1u);
        EXPECT_EQ(g_vCaptured[0].sMessage, sLong.substr(0, 1023));
    }
    LogOutput = ConsoleLogOutput;
    CStdoutCapture capture;
    ASSERT_TRUE(capture.IsOpen());
    LogPrint(kLogDebug, "%s", sLong.c_str());
    EXPECT_EQ(capture.Finish(), "debug: " + sLong.substr(0, 1023) + "\n");
}

TEST_F(CLoggerTest, InstanceIsOneForAllThreads)
{
    CLogger* vSeen[8] = {};
    std::vector<std::thread> vThreads;
    for (int i = 0; i < 8; ++i) {
        vThreads.emplace_back([&vSeen, i] { vSeen[i] = CLogger::GetInstance(); });
    }
    for (auto& th : vThreads) {
        th.join();
    }
    for (CLogger* p : vSeen) {
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(p, CLogger::GetInstance());
    }
}

// Two threads logging long lines at once: on the console every line comes
// out whole, one after the other.
TEST_F(CLoggerTest, ConcurrentLinesStayWhole)
{
    constexpr int kLines = 300;
    const std::string sA(700, 'A');
    const std::string sB(700, 'B');
    CStdoutCapture capture;
    ASSERT_TRUE(capture.IsOpen());
    std::thread thA([&] {
        for (int i = 0; i < kLines; ++i) {
            LogPrint(kLogWarning, "%s %d", sA.c_str(), i);
        }
    });
    std::thread thB([&] {
        for (int i = 0; i < kLines; ++i) {
            LogPrint(kLogError, "%s %d", sB.c_str(), i);
        }
    });
    thA.join();
    thB.join();
    const std::vector<std::string> vLines = SplitLines(capture.Finish());
    ASSERT_EQ(vLines.size(), size_t(2 * kLines));
    int nNextA = 0;
    int nNextB = 0;
    for (const std::string& sLine : vLines) {
        if (sLine.rfind("warning: ", 0) == 0) {
            ASSERT_EQ(sLine, "warning: " + sA + " " + std::to_string(nNextA++));
        } else {
            ASSERT_EQ(sLine, "error: " + sB + " " + std::to_string(nNextB++));
        }
    }
    EXPECT_EQ(nNextA, kLines);
    EXPECT_EQ(nNextB, kLines);
}
