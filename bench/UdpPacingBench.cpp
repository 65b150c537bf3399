// Evenness of the network sink alone: feeds COutPutModuleUdp on a real-time
// schedule in batches of a fixed output duration, as the engine does, and
// records when each datagram arrives at a receiver on 127.0.0.1 (the kernel's
// receive time stamp). Reports how
// far past its due time (the output time of its last packet) a datagram
// arrived, the largest gap between two arrivals, and apart from those the
// sink's own share (from the RenderPackets call that completed a datagram to
// its arrival) and the feeder's wake-up lateness (the scheduler's share).
// With batches of B ms a datagram is up to B ms past due by the batching
// alone.
//
// usage: bm_udp_pacing_bench [seconds=10] [bit/s=5000000] [batch ms=2] [pkts=7]
#include "braidmill.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPacketBytes = 188;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv)
{
    const double fSeconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    const long long llRate = argc > 2 ? std::atoll(argv[2]) : 5'000'000;
    const double fBatchMs = argc > 3 ? std::atof(argv[3]) : 2.0;
    const int nPkts = argc > 4 ? std::atoi(argv[4]) : 7;
    if (fSeconds <= 0 || llRate <= 0 || fBatchMs <= 0 || nPkts < 1 || nPkts > 7) {
        std::fprintf(stderr, "usage: %s [seconds] [bit/s] [batch ms] [pkts 1-7]\n", argv[0]);
        return 2;
    }

    const int nFd = socket(AF_INET, SOCK_DGRAM, 0);
    int nBuf = 8 * 1024 * 1024;
    setsockopt(nFd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLen = sizeof(sa);
    if (bind(nFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        getsockname(nFd, reinterpret_cast<sockaddr*>(&sa), &nLen) != 0) {
        std::perror("receiver");
        return 1;
    }
    const std::string sUrl = "udp://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)) +
                             "?pkts=" + std::to_string(nPkts);

    COutPutModuleUdp sink;
    if (sink.Open(sUrl.c_str()) != 0) {
        std::fprintf(stderr, "%s: %s\n", sUrl.c_str(), sink.GetError());
        return 1;
    }
    sink.SetBitRate(llRate);

    const long long llTotal = (long long)(fSeconds * double(llRate) / (kPacketBytes * 8));
    const long long llDatagrams = (llTotal + nPkts - 1) / nPkts;
    std::vector<Clock::time_point> vArrival;
    vArrival.reserve(size_t(llDatagrams));
    std::atomic<bool> bDone{false};
    int nOne = 1;
    setsockopt(nFd, SOL_SOCKET, SO_TIMESTAMPNS, &nOne, sizeof(nOne));
    const auto tWallOrigin = std::chrono::system_clock::now();
    const auto tSteadyOrigin = Clock::now();
    auto tWallToSteady = [&](std::chrono::system_clock::time_point tWall) {
        return tSteadyOrigin + std::chrono::duration_cast<Clock::duration>(tWall - tWallOrigin);
    };
    std::thread receiver([&] {
        std::vector<unsigned char> buf(65536);
        while ((long long)vArrival.size() < llDatagrams) {
            pollfd pfd{nFd, POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0) {
                if (bDone) {
                    break;
                }
                continue;
            }
            // The kernel's receive time, so that this thread's own wake-up
            // delay is not counted against the sink.
            iovec iov{buf.data(), buf.size()};
            alignas(cmsghdr) char vControl[CMSG_SPACE(sizeof(timespec))];
            msghdr msg{};
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = vControl;
            msg.msg_controllen = sizeof(vControl);
            if (recvmsg(nFd, &msg, 0) <= 0) {
                continue;
            }
            Clock::time_point tArrival = Clock::now();
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec ts{};
                    std::memcpy(&ts, CMSG_DATA(c), sizeof(ts));
                    const auto tWall = std::chrono::system_clock::time_point(
                        std::chrono::duration_cast<std::chrono::system_clock::duration>(
                            std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
                    tArrival = tWallToSteady(tWall);
                }
            }
            vArrival.push_back(tArrival);
        }
    });

    std::vector<unsigned char> packets(size_t(llTotal) * kPacketBytes, 0xFF);
    for (long long i = 0; i < llTotal; ++i) {
        packets[size_t(i) * kPacketBytes] = 0x47;
    }
    const auto tStart = Clock::now();
    const auto batch = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(fBatchMs));
    long long llWritten = 0;
    std::vector<Clock::time_point> vSent(static_cast<size_t>(llDatagrams)); // when the feed completed each
    double fMaxWake = 0; // the feeder's own lateness at its ticks, ms
    for (long long k = 1; llWritten < llTotal; ++k) {
        const auto tTick = tStart + k * batch;
        std::this_thread::sleep_until(tTick);
        fMaxWake = std::max(fMaxWake, Ms(Clock::now() - tTick));
        // The packets whose output time has come by this tick.
        const double fElapsed = std::chrono::duration<double>(tTick - tStart).count();
        long long llDue = (long long)(fElapsed * double(llRate) / (kPacketBytes * 8));
        llDue = std::min(llDue, llTotal);
        if (llDue > llWritten) {
            const auto tCall = Clock::now();
            sink.RenderPackets(packets.data() + size_t(llWritten) * kPacketBytes,
                               int(llDue - llWritten));
            for (long long d = llWritten / nPkts; d < llDue / nPkts; ++d) {
                vSent[size_t(d)] = tCall;
            }
            llWritten = llDue;
        }
    }
    sink.Destroy();
    bDone = true;
    receiver.join();
    close(nFd);

    // Datagram d is due when its last packet's output time has come.
    std::vector<double> vLate;
    double fMaxGap = 0;
    double fMaxTransit = 0; // from the RenderPackets call to arrival, ms
    for (size_t d = 0; d < vArrival.size(); ++d) {
        const long long llLast = std::min<long long>((long long)(d + 1) * nPkts, llTotal);
        const double fDueMs = double(llLast) * kPacketBytes * 8 * 1000.0 / double(llRate);
        vLate.push_back(Ms(vArrival[d] - tStart) - fDueMs);
        if (vSent[d] != Clock::time_point()) {
            fMaxTransit = std::max(fMaxTransit, Ms(vArrival[d] - vSent[d]));
        }
        if (d > 0) {
            fMaxGap = std::max(fMaxGap, Ms(vArrival[d] - vArrival[d - 1]));
        }
    }
    std::vector<double> vSorted = vLate;
    std::sort(vSorted.begin(), vSorted.end());
    auto Pct = [&](double f) {
        return vSorted.empty() ? 0.0 : vSorted[size_t(f * double(vSorted.size() - 1))];
    };
    const double fNominal = double(nPkts) * kPacketBytes * 8 * 1000.0 / double(llRate);
    std::printf("datagrams %zu of %lld, %lld packets, %lld send calls (%.3f per packet)\n",
                vArrival.size(), llDatagrams, llTotal, sink.GetSendCalls(),
                double(sink.GetSendCalls()) / double(llTotal));
    std::printf("past due, ms: median %.3f  p99 %.3f  p99.9 %.3f  max %.3f\n", Pct(0.5),
                Pct(0.99), Pct(0.999), vSorted.empty() ? 0.0 : vSorted.back());
    std::printf("gap between arrivals, ms: nominal %.3f  max %.3f\n", fNominal, fMaxGap);
    std::printf("render call to arrival, ms: max %.3f; feeder woke late by at most %.3f ms\n",
                fMaxTransit, fMaxWake);
    return vArrival.size() == size_t(llDatagrams) ? 0 : 1;
}
