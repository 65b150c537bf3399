#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

// A minimal HTTP/1.1 responder for monitoring: GET /metrics is answered
// with the text fnText gives, other paths with 404, other methods with 405,
// a request it cannot read with 400, one longer than kMaxRequestBytes with
// 431; every answer closes its connection. Its own thread polls the
// listening socket, up to kMaxConnections connections and a wake pipe; each
// connection has kConnectionTimeout to send its request and take the answer,
// so a slow or stuck client holds one slot for that long and never blocks
// the run, another client, or Stop. Owned by the run on main's thread;
// fnText runs on the server's thread.
class CMetricsServer
{
public:
    static constexpr size_t kMaxRequestBytes = 8192;
    static constexpr int kMaxConnections = 8;
    static constexpr std::chrono::milliseconds kConnectionTimeout{5000};

    using TextFn = std::function<std::string()>;

    // timeout: each connection's time to ask and take its answer.
    explicit CMetricsServer(TextFn fnText, std::chrono::milliseconds timeout = kConnectionTimeout);
    ~CMetricsServer();
    CMetricsServer(const CMetricsServer&) = delete;
    CMetricsServer& operator=(const CMetricsServer&) = delete;

    // HOST:PORT, HOST an IPv4 address or a name that resolves to one, PORT
    // 0 to 65535 (0: any free port). False with why, in a few words.
    static bool ParseAddress(const std::string& sText, sockaddr_in& addr, std::string& sWhy);

    // Binds and listens on sAddress (already parsed once); false with the
    // reason, naming the address. Before Start.
    bool Open(const std::string& sAddress, std::string& sError);
    // The address as bound, port included: "127.0.0.1:9100".
    std::string GetBoundAddress() const;
    // Starts the thread; after a successful Open.
    void Start();
    // Ends the thread and closes every socket; from main, also when never started.
    void Stop();

    // The whole answer to one request head (the bytes up to its blank line).
    static std::string Answer(const std::string& sHead, const TextFn& fnText);

private:
    struct CConnection
    {
        int nFd = -1;
        std::string sIn;  // request bytes so far
        std::string sOut; // the answer; empty while reading
        size_t nSent = 0;
        std::chrono::steady_clock::time_point tDeadline;
    };

    void Loop();
    void Accept();
    // False once the connection is done with (answered, closed, failed).
    bool Serve(CConnection& connection, short nEvents);
    static void Close(CConnection& connection);

    TextFn m_fnText;
    std::chrono::milliseconds m_timeout;
    int m_nListenFd = -1;
    int m_vWake[2] = {-1, -1};               // written by Stop, polled by the thread
    std::vector<CConnection> m_vConnections; // server thread only
    std::atomic<bool> m_bStop{false};
    std::thread m_th;
};
