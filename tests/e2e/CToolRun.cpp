#include "CToolRun.h"

#include <regex>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

std::string ReadAll(const std::string& sPath)
{
    std::ifstream in(sPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// With BM_E2E_RECORD=FILE set, each run appends a line per file it wrote
// (test, argument index, FNV-1a of the bytes) to FILE: two builds that must
// mux alike are compared by running the suite with each and diffing.
void RecordOutputs(const std::vector<std::string>& vArgs,
                   std::chrono::system_clock::time_point tStart)
{
    const char* szRecord = std::getenv("BM_E2E_RECORD");
    if (szRecord == nullptr || *szRecord == '\0') {
        return;
    }
    const ::testing::TestInfo* pInfo = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string sTest =
        pInfo != nullptr ? std::string(pInfo->test_suite_name()) + "." + pInfo->name() : "?";
    std::ofstream record(szRecord, std::ios::app);
    for (size_t i = 1; i < vArgs.size(); ++i) {
        struct stat st = {};
        if (stat(vArgs[i].c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
            std::chrono::system_clock::from_time_t(st.st_mtime) + std::chrono::seconds(1) <
                tStart) {
            continue;
        }
        const std::string sBytes = ReadAll(vArgs[i]);
        uint64_t nHash = 1469598103934665603ULL;
        for (unsigned char c : sBytes) {
            nHash = (nHash ^ c) * 1099511628211ULL;
        }
        record << sTest << " arg" << i << " " << sBytes.size() << " " << std::hex << nHash
               << std::dec << "\n";
    }
}

} // namespace

ToolResult CToolRun::Run(const std::vector<std::string>& vArgs, const std::string& sWorkDir,
                         double fTimeoutSeconds, const std::vector<SignalAt>& vSignals,
                         const std::function<void(int nPid)>& fnWhileRunning)
{
    ToolResult result;
    std::string sOutPath = sWorkDir + "/stdout.txt";
    std::string sErrPath = sWorkDir + "/stderr.txt";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, sOutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, sErrPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> vArgv;
    for (const std::string& s : vArgs) {
        vArgv.push_back(const_cast<char*>(s.c_str()));
    }
    vArgv.push_back(nullptr);

    auto tStart = std::chrono::steady_clock::now();
    const auto tWallStart = std::chrono::system_clock::now();
    pid_t nPid = -1;
    int nRc = posix_spawn(&nPid, vArgv[0], &actions, nullptr, vArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (nRc != 0) {
        result.sErr = "spawn failed";
        return result;
    }
    int nWait = 0;
    size_t nNextSignal = 0;
    for (;;) {
        pid_t nDone = waitpid(nPid, &nWait, WNOHANG);
        if (nDone == nPid) {
            break;
        }
        double fElapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        if (nDone == 0 && nNextSignal < vSignals.size() &&
            fElapsed >= vSignals[nNextSignal].fAfter) {
            kill(nPid, vSignals[nNextSignal++].nSignal);
        }
        if (nDone == 0 && fnWhileRunning) {
            fnWhileRunning(int(nPid));
        }
        if (nDone < 0 || fElapsed > fTimeoutSeconds) {
            kill(nPid, SIGKILL);
            waitpid(nPid, &nWait, 0);
            result.bTimedOut = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    result.fSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    if (!result.bTimedOut && WIFEXITED(nWait)) {
        result.nStatus = WEXITSTATUS(nWait);
    }
    if (!result.bTimedOut && WIFSIGNALED(nWait)) {
        result.nTermSignal = WTERMSIG(nWait);
    }
    result.sOut = ReadAll(sOutPath);
    result.sErr = ReadAll(sErrPath);
    RecordOutputs(vArgs, tWallStart);
    return result;
}

int CToolRun::Shell(const std::string& sCommand)
{
    int nRc = std::system(sCommand.c_str());
    return (nRc != -1 && WIFEXITED(nRc)) ? WEXITSTATUS(nRc) : -1;
}

double CToolRun::OutputRateOf(const ToolResult& run)
{
    std::smatch m;
    return std::regex_search(run.sErr, m, std::regex("output rate ([0-9.]+) bit/s"))
               ? std::stod(m[1])
               : -1;
}
