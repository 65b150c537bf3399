#include "CMetricsServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

const CMetricsServer::TextFn kText = [] { return std::string("figure 1\n"); };

std::string StatusLine(const std::string& sAnswer)
{
    return sAnswer.substr(0, sAnswer.find("\r\n"));
}

// A loopback client; every wait bounded, so that a hang fails the test.
struct CClient
{
    explicit CClient(const CMetricsServer& server, const std::string& sSend = "")
    {
        const std::string sBound = server.GetBoundAddress();
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(std::stoi(sBound.substr(sBound.rfind(':') + 1))));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(send(nFd, sSend.data(), sSend.size(), MSG_NOSIGNAL), ssize_t(sSend.size()));
    }
    ~CClient() { close(nFd); }
    // What comes until the server closes (bClosed) or 10 s pass.
    std::string ReadAll()
    {
        std::string sIn;
        char v[4096];
        pollfd p{nFd, POLLIN, 0};
        ssize_t n = 0;
        while (poll(&p, 1, 10'000) == 1 && (n = recv(nFd, v, sizeof v, 0)) > 0) {
            sIn.append(v, size_t(n));
        }
        bClosed = n == 0;
        return sIn;
    }
    int nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool bClosed = false;
};

} // namespace

TEST(CMetricsServerTest, AnswersOnlyGetOfTheMetricsPath)
{
    for (const auto& [szHead, szStatus] : std::vector<std::pair<const char*, const char*>>{
             {"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", "HTTP/1.1 200 OK"},
             {"GET /metrics?name=x HTTP/1.0\n\n", "HTTP/1.1 200 OK"},
             {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"GET /metrics/ HTTP/1.1\r\n\r\n", "HTTP/1.1 404 Not Found"},
             {"POST /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
             {"HEAD /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 405 Method Not Allowed"},
             {"GET /metrics\r\n\r\n", "HTTP/1.1 400 Bad Request"},
             {"GET  /metrics HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request"},
             {"GET /metrics HTTP/2.0\r\n\r\n", "HTTP/1.1 400 Bad Request"},
             {"\r\n\r\n", "HTTP/1.1 400 Bad Request"},
         }) {
        EXPECT_EQ(StatusLine(CMetricsServer::Answer(szHead, kText)), szStatus) << szHead;
    }
    const std::string sOk = CMetricsServer::Answer("GET /metrics HTTP/1.1\r\n\r\n", kText);
    EXPECT_NE(sOk.find("\r\nContent-Length: 9\r\n"), std::string::npos) << sOk;
    EXPECT_EQ(sOk.substr(sOk.size() - 13), "\r\n\r\nfigure 1\n");
    EXPECT_NE(CMetricsServer::Answer("PUT / HTTP/1.1\r\n\r\n", kText).find("\r\nAllow: GET\r\n"),
              std::string::npos);
}

// The last byte that fits still makes a request, one more is refused; the
// port, now taken, is refused to a second server by name.
TEST(CMetricsServerTest, ServesUpToTheRequestLimitAndRefusesATakenPort)
{
    CMetricsServer server(kText);
    std::string sError;
    ASSERT_TRUE(server.Open("127.0.0.1:0", sError)) << sError;
    server.Start();
    const std::string sLine = "GET /metrics HTTP/1.1\r\nX: ";
    const size_t nFill = CMetricsServer::kMaxRequestBytes - sLine.size() - 4;
    CClient fits(server, sLine + std::string(nFill, 'a') + "\r\n\r\n");
    const std::string sAnswer = fits.ReadAll();
    EXPECT_EQ(StatusLine(sAnswer), "HTTP/1.1 200 OK");
    EXPECT_EQ(sAnswer.substr(sAnswer.size() - 9), "figure 1\n");
    CClient tooLong(server, sLine + std::string(nFill + 1, 'a') + "\r\n\r\n");
    EXPECT_EQ(StatusLine(tooLong.ReadAll()), "HTTP/1.1 431 Request Header Fields Too Large");

    CMetricsServer second(kText);
    EXPECT_FALSE(second.Open(server.GetBoundAddress(), sError));
    EXPECT_EQ(sError.find("cannot listen on " + server.GetBoundAddress() + ": "), 0u) << sError;
}

// Stuck clients fill every slot: the next one waits for their deadline, is
// then answered, and the stuck ones find their connection closed.
TEST(CMetricsServerTest, StuckClientsAreDroppedAtTheirDeadline)
{
    CMetricsServer server(kText, 300ms);
    std::string sError;
    ASSERT_TRUE(server.Open("127.0.0.1:0", sError)) << sError;
    server.Start();
    std::vector<std::unique_ptr<CClient>> vStuck;
    for (int i = 0; i < CMetricsServer::kMaxConnections; ++i) {
        vStuck.push_back(std::make_unique<CClient>(server, "GET /metr"));
    }
    CClient late(server, "GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(StatusLine(late.ReadAll()), "HTTP/1.1 200 OK");
    for (auto& pStuck : vStuck) {
        EXPECT_EQ(pStuck->ReadAll(), "");
        EXPECT_TRUE(pStuck->bClosed);
    }
}

// Neither a client that never finishes its request nor one that never reads
// a large answer holds Stop up (each would for the whole timeout).
TEST(CMetricsServerTest, StopDoesNotWaitForClients)
{
    constexpr auto kLong = 60s;
    CMetricsServer server([] { return std::string(8 << 20, 'x'); }, kLong);
    std::string sError;
    ASSERT_TRUE(server.Open("127.0.0.1:0", sError)) << sError;
    server.Start();
    CClient silent(server, "GET");
    CClient notReading(server, "GET /metrics HTTP/1.1\r\n\r\n");
    std::this_thread::sleep_for(100ms); // both accepted, the answer stuck in a full buffer
    const auto tStart = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, kLong / 2);
    silent.ReadAll();
    EXPECT_TRUE(silent.bClosed);
}
