// A live UDP input through the console program, measured at both ends with
// the kernel's receive time stamps (SO_TIMESTAMPNS): a sender plays a TS
// file to 127.0.0.1 in real time (7 packets a datagram, CPacedSender's
// timing) and sends every datagram to a tap socket of this program as well;
// the program muxes it to UDP on 127.0.0.1, received here too. Each payload
// packet of the input's first PCR PID is paired with its copy in the output
// (by content: what was kept before the output began is not there), and its
// delay through the muxer is output arrival minus input arrival.
//
// usage: bm_live_input_bench BRAIDMILL FILE [extra braidmill arguments...]
// Prints: packets sent, paired, missing after the first paired one, the
// program's exit status and its dropped/late figures (from --stats), delay
// min / median / p99 / max in ms.
#include "CPacedSender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr int kPacket = 188;

struct CArrival
{
    int64_t nNanos; // kernel receive time, CLOCK_REALTIME
    std::vector<uint8_t> vData;
};

int BindLoopback(int& nPort)
{
    const int nFd = socket(AF_INET, SOCK_DGRAM, 0);
    const int nBuf = 32 << 20;
    const int nOne = 1;
    setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof nBuf);
    setsockopt(nFd, SOL_SOCKET, SO_TIMESTAMPNS, &nOne, sizeof nOne);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof sa;
    bind(nFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(nFd, reinterpret_cast<sockaddr*>(&sa), &nLen);
    nPort = ntohs(sa.sin_port);
    return nFd;
}

// Receives until bDone and 300 ms of silence.
void Receive(int nFd, const std::atomic<bool>& bDone, std::vector<CArrival>& vOut)
{
    std::vector<uint8_t> vBuf(65536);
    for (;;) {
        pollfd pfd{nFd, POLLIN, 0};
        if (poll(&pfd, 1, 300) <= 0) {
            if (bDone) {
                return;
            }
            continue;
        }
        iovec iov{vBuf.data(), vBuf.size()};
        alignas(cmsghdr) char vControl[CMSG_SPACE(sizeof(timespec))];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = vControl;
        msg.msg_controllen = sizeof vControl;
        const ssize_t n = recvmsg(nFd, &msg, 0);
        if (n <= 0) {
            continue;
        }
        CArrival a{0, std::vector<uint8_t>(vBuf.begin(), vBuf.begin() + n)};
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts{};
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                a.nNanos = int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
            }
        }
        vOut.push_back(std::move(a));
    }
}

int PidOf(const uint8_t* p)
{
    return ((p[1] & 0x1F) << 8) | p[2];
}

// The packet but for what the muxer changes: PID, PCR, discontinuity flag.
std::string Content(const uint8_t* p)
{
    std::string s(reinterpret_cast<const char*>(p), kPacket);
    s[1] = char(s[1] & 0xE0);
    s[2] = 0;
    if ((p[3] & 0x20) != 0 && p[4] > 0) {
        s[5] = char(s[5] & 0x7F);
        if (p[4] >= 7 && (p[5] & 0x10) != 0) {
            std::fill(s.begin() + 6, s.begin() + 12, '\0');
        }
    }
    return s;
}

// Packets with payload of one PID, with their arrival times.
void Collect(const std::vector<CArrival>& vIn, int nPid, std::vector<std::string>& vContent,
             std::vector<int64_t>& vNanos)
{
    for (const CArrival& a : vIn) {
        for (size_t k = 0; k + kPacket <= a.vData.size(); k += kPacket) {
            const uint8_t* p = &a.vData[k];
            if (PidOf(p) == nPid && (p[3] & 0x10) != 0) {
                vContent.push_back(Content(p));
                vNanos.push_back(a.nNanos);
            }
        }
    }
}

long long StatsFigure(const std::string& sJson, const char* szKey)
{
    long long llSum = 0;
    for (size_t nAt = sJson.find(szKey); nAt != std::string::npos;
         nAt = sJson.find(szKey, nAt + 1)) {
        llSum += std::atoll(sJson.c_str() + sJson.find(':', nAt) + 1);
    }
    return llSum;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s BRAIDMILL FILE [braidmill arguments...]\n", argv[0]);
        return 2;
    }
    CPacedSender sender;
    if (!sender.Load(argv[2])) {
        std::fprintf(stderr, "%s: no packets or no PCRs\n", argv[2]);
        return 1;
    }
    // The input's first PCR PID, traced.
    std::ifstream file(argv[2], std::ios::binary);
    const std::vector<uint8_t> vFile{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    int nTracePid = -1;
    for (size_t k = 0; k + kPacket <= vFile.size() && nTracePid < 0; k += kPacket) {
        const uint8_t* p = &vFile[k];
        if ((p[3] & 0x20) != 0 && p[4] >= 7 && (p[5] & 0x10) != 0) {
            nTracePid = PidOf(p);
        }
    }

    int nInPort = 0, nTapPort = 0, nOutPort = 0;
    close(BindLoopback(nInPort)); // a free port for the program's input
    const int nTap = BindLoopback(nTapPort);
    const int nOut = BindLoopback(nOutPort);
    std::atomic<bool> bDone{false};
    std::vector<CArrival> vTapped, vOutput;
    std::thread tap(Receive, nTap, std::cref(bDone), std::ref(vTapped));
    std::thread out(Receive, nOut, std::cref(bDone), std::ref(vOutput));

    const std::string sStats = "live-input-bench.json";
    std::vector<std::string> vArgs{argv[1], "--input-timeout", "1", "--input-timeout-ends",
                                   "--stats", sStats};
    for (int i = 3; i < argc; ++i) {
        vArgs.push_back(argv[i]);
    }
    vArgs.push_back("-o");
    vArgs.push_back("udp://127.0.0.1:" + std::to_string(nOutPort));
    vArgs.push_back("udp://127.0.0.1:" + std::to_string(nInPort));
    std::vector<char*> vArgv;
    for (std::string& s : vArgs) {
        vArgv.push_back(s.data());
    }
    vArgv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[1], nullptr, nullptr, vArgv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot start %s\n", argv[1]);
        return 1;
    }
    // Two destinations, one send each: the tap's arrival stands for the
    // program's (both on the loopback, the same moment).
    sender.AddCopyPort(nTapPort);
    sender.Start(nInPort, 1.0, 1.0);
    sender.Join();
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    bDone = true;
    tap.join();
    out.join();

    std::vector<std::string> vInContent, vOutContent;
    std::vector<int64_t> vInNanos, vOutNanos;
    Collect(vTapped, nTracePid, vInContent, vInNanos);
    // The output PID carrying the traced stream: the first stream PID of
    // program 101 (PMT PID 1011 + 2), or the PCR PID slot next to the PMT.
    for (int nOutPid : {1013, 1012}) {
        Collect(vOutput, nOutPid, vOutContent, vOutNanos);
        if (!vOutContent.empty()) {
            break;
        }
    }
    std::map<std::string, size_t> first; // content -> first input index
    for (size_t i = 0; i < vInContent.size(); ++i) {
        first.emplace(vInContent[i], i);
    }
    std::vector<double> vDelay;
    size_t nIn = 0, nFirst = SIZE_MAX;
    for (size_t o = 0; o < vOutContent.size(); ++o) {
        if (nFirst == SIZE_MAX) {
            const auto it = first.find(vOutContent[o]);
            if (it == first.end()) {
                continue;
            }
            nFirst = nIn = it->second;
        }
        while (nIn < vInContent.size() && vInContent[nIn] != vOutContent[o]) {
            ++nIn;
        }
        if (nIn == vInContent.size()) {
            break;
        }
        vDelay.push_back(double(vOutNanos[o] - vInNanos[nIn]) / 1e6);
        ++nIn;
    }
    std::ifstream stats(sStats);
    const std::string sJson{std::istreambuf_iterator<char>(stats), std::istreambuf_iterator<char>()};
    std::printf("packets of PID %d sent %zu, paired %zu, missing after the first paired %zu; "
                "exit %d, dropped %lld, late %lld\n",
                nTracePid, vInContent.size(), vDelay.size(),
                nFirst == SIZE_MAX ? 0 : vInContent.size() - nFirst - vDelay.size(),
                WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1, StatsFigure(sJson, "\"dropped\""),
                StatsFigure(sJson, "\"late\""));
    if (vDelay.empty()) {
        return 1;
    }
    if (std::getenv("BM_DELAY_TRACE") != nullptr) {
        for (size_t i = 0; i < vDelay.size(); i += vDelay.size() / 50 + 1) {
            double fMin = vDelay[i];
            for (size_t j = i; j < std::min(vDelay.size(), i + vDelay.size() / 50 + 1); ++j) {
                fMin = std::min(fMin, vDelay[j]);
            }
            std::printf("  from packet %zu: min %.2f ms\n", i, fMin);
        }
    }
    std::vector<double> v = vDelay;
    std::sort(v.begin(), v.end());
    std::printf("delay through the muxer, ms: min %.2f median %.2f p99 %.2f max %.2f\n", v.front(),
                v[v.size() / 2], v[v.size() * 99 / 100], v.back());
    return 0;
}
