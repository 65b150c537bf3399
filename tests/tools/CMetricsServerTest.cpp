#include "CMetricsServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

const CMetricsServer::TextFn kText = [] { return std::string("figure 1\n"); };

std::string StatusLine(const std::string& sAnswer)
{
    return sAnswer.substr(0, sAnswer.find("\r\n"));
}

// A loopback client; every wait bounded, so that a hang fails the test.
class CClient
{
public:
    explicit CClient(int nPort)
    {
        m_nFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(uint16_t(nPort));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_bConnected = connect(m_nFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~CClient() { close(m_nFd); }

    bool IsConnected() const { return m_bConnected; }
    bool Send(const std::string& s) { return send(m_nFd, s.data(), s.size(), MSG_NOSIGNAL) >= 0; }
    // Everything up to the server's close, or what came within the limit.
    std::string ReadAll(std::chrono::milliseconds limit = 10s, bool* pClosed = nullptr)
    {
        std::string sIn;
        const auto tEnd = std::chrono::steady_clock::now() + limit;
        for (;;) {
            const auto nLeft = std::chrono::duration_cast<std::chrono::milliseconds>(
                tEnd - std::chrono::steady_clock::now());
            pollfd p{m_nFd, POLLIN, 0};
            if (nLeft.count() <= 0 || poll(&p, 1, int(nLeft.count())) <= 0) {
                return sIn;
            }
            char v[4096];
            const ssize_t n = recv(m_nFd, v, sizeof v, 0);
            if (n <= 0) {
                if (pClosed != nullptr) {
                    *pClosed = true;
                }
                return sIn;
            }
            sIn.append(v, size_t(n));
        }
    }

private:
    int m_nFd = -1;
    bool m_bConnected = false;
};

int PortOf(const CMetricsServer& server)
{
    const std::string s = server.GetBoundAddress();
    return std::stoi(s.substr(s.rfind(':') + 1));
}

} // namespace

TEST(CMetricsServerTest, AnswersOnlyGetOfTheMetricsPath)
{
    struct Case
    {
        const char* szHead;
        const char* szStatus;
    };
    for (const Case& c : std::vector<Case>{
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
        EXPECT_EQ(StatusLine(CMetricsServer::Answer(c.szHead, kText)), c.szStatus) << c.szHead;
    }
    const std::string sOk = CMetricsServer::Answer("GET /metrics HTTP/1.1\r\n\r\n", kText);
    EXPECT_NE(sOk.find("Content-Length: 9\r\n"), std::string::npos) << sOk;
    EXPECT_EQ(sOk.substr(sOk.size() - 13), "\r\n\r\nfigure 1\n");
    EXPECT_NE(CMetricsServer::Answer("PUT / HTTP/1.1\r\n\r\n", kText).find("Allow: GET\r\n"),
              std::string::npos);
}

TEST(CMetricsServerTest, ParsesOnlyHostColonPort)
{
    sockaddr_in addr{};
    std::string sWhy;
    ASSERT_TRUE(CMetricsServer::ParseAddress("127.0.0.1:65535", addr, sWhy));
    EXPECT_EQ(ntohs(addr.sin_port), 65535);
    EXPECT_EQ(ntohl(addr.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_TRUE(CMetricsServer::ParseAddress("0.0.0.0:0", addr, sWhy));
    for (const char* sz : {"127.0.0.1", ":9100", "127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1",
                           "127.0.0.1:9x", "::1:9100", "127.0.0.1:99999999999999999999"}) {
        EXPECT_FALSE(CMetricsServer::ParseAddress(sz, addr, sWhy)) << sz;
    }
}

TEST(CMetricsServerTest, ServesOverLoopbackAndRefusesATakenPort)
{
    CMetricsServer server([] { return std::string("braidmill_up 1\n"); });
    std::string sError;
    ASSERT_TRUE(server.Open("127.0.0.1:0", sError)) << sError;
    server.Start();
    CClient client(PortOf(server));
    ASSERT_TRUE(client.IsConnected());
    ASSERT_TRUE(client.Send("GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    const std::string sAnswer = client.ReadAll();
    EXPECT_EQ(StatusLine(sAnswer), "HTTP/1.1 200 OK");
    EXPECT_EQ(sAnswer.substr(sAnswer.size() - 15), "braidmill_up 1\n");

    const std::string sTaken = server.GetBoundAddress();
    CMetricsServer second(kText);
    EXPECT_FALSE(second.Open(sTaken, sError));
    EXPECT_EQ(sError.find("cannot listen on " + sTaken + ": "), 0u) << sError;
}

TEST(CMetricsServerTest, RequestPastTheLimitIsRefused)
{
    CMetricsServer server(kText);
    std::string sError;
    ASSERT_TRUE(server.Open("127.0.0.1:0", sError)) << sError;
    server.Start();
    // The last byte that fits still makes a request; one more does not.
    const std::string sLine = "GET /metrics HTTP/1.1\r\nX: ";
    const std::string sFits =
        sLine + std::string(CMetricsServer::kMaxRequestBytes - sLine.size() - 4, 'a') + "\r\n\r\n";
    CClient fits(PortOf(server));
    ASSERT_TRUE(fits.Send(sFits));
    EXPECT_EQ(StatusLine(fits.ReadAll()), "HTTP/1.1 200 OK");
    CClient tooLong(PortOf(server));
    ASSERT_TRUE(tooLong.Send(sLine + std::string(CMetricsServer::kMaxRequestBytes, 'a')));
    EXPECT_EQ(StatusLine(tooLong.ReadAll()), "HTTP/1.1 431 Request Header Fields Too Large");
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
        vStuck.push_back(std::make_unique<CClient>(PortOf(server)));
        ASSERT_TRUE(vStuck.back()->Send("GET /metr"));
    }
    CClient late(PortOf(server));
    ASSERT_TRUE(late.Send("GET /metrics HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(StatusLine(late.ReadAll()), "HTTP/1.1 200 OK");
    for (auto& pStuck : vStuck) {
        bool bClosed = false;
        EXPECT_EQ(pStuck->ReadAll(10s, &bClosed), "");
        EXPECT_TRUE(bClosed);
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
    CClient silent(PortOf(server));
    CClient notReading(PortOf(server));
    ASSERT_TRUE(silent.Send("GET"));
    ASSERT_TRUE(notReading.Send("GET /metrics HTTP/1.1\r\n\r\n"));
    std::this_thread::sleep_for(100ms); // both accepted, the answer stuck in a full buffer
    const auto tStart = std::chrono::steady_clock::now();
    server.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - tStart, kLong / 2);
    bool bClosed = false;
    silent.ReadAll(10s, &bClosed);
    EXPECT_TRUE(bClosed);
}
