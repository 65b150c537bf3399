#include "CMetricsServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

constexpr int kListenBacklog = 16;
constexpr size_t kReadChunk = 2048;

std::string Response(const char* szStatus, const std::string& sBody, const char* szExtraHeader = "")
{
    return std::string("HTTP/1.1 ") + szStatus +
           "\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nContent-Length: " +
           std::to_string(sBody.size()) + "\r\n" + szExtraHeader + "Connection: close\r\n\r\n" +
           sBody;
}

// Where the head ends (after its blank line), npos while it goes on. A bare
// LF ends lines too: some hand-typed clients send them.
size_t HeadEnd(const std::string& s)
{
    const size_t nCrlf = s.find("\r\n\r\n");
    const size_t nLf = s.find("\n\n");
    if (nCrlf == std::string::npos && nLf == std::string::npos) {
        return std::string::npos;
    }
    return std::min(nCrlf == std::string::npos ? std::string::npos : nCrlf + 4,
                    nLf == std::string::npos ? std::string::npos : nLf + 2);
}

} // namespace

CMetricsServer::CMetricsServer(TextFn fnText, std::chrono::milliseconds timeout)
    : m_fnText(std::move(fnText)), m_timeout(timeout)
{
}

CMetricsServer::~CMetricsServer()
{
    Stop();
}

bool CMetricsServer::ParseAddress(const std::string& sText, sockaddr_in& addr, std::string& sWhy)
{
    const size_t nColon = sText.rfind(':');
    if (nColon == std::string::npos || nColon == 0 || nColon + 1 == sText.size()) {
        sWhy = "HOST:PORT";
        return false;
    }
    const std::string sHost = sText.substr(0, nColon);
    const std::string sPort = sText.substr(nColon + 1);
    if (sHost.find(':') != std::string::npos) {
        sWhy = "an IPv4 address or a host name";
        return false;
    }
    long nPort = 0;
    for (char c : sPort) {
        if (c < '0' || c > '9' || nPort > 65535) {
            nPort = 65536;
            break;
        }
        nPort = nPort * 10 + (c - '0');
    }
    if (nPort > 65535) {
        sWhy = "a port 0 to 65535";
        return false;
    }
    addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(nPort));
    if (inet_pton(AF_INET, sHost.c_str(), &addr.sin_addr) == 1) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pResult = nullptr;
    if (getaddrinfo(sHost.c_str(), nullptr, &hints, &pResult) != 0 || pResult == nullptr) {
        sWhy = "host " + sHost + " not found";
        return false;
    }
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(pResult->ai_addr)->sin_addr;
    freeaddrinfo(pResult);
    return true;
}

bool CMetricsServer::Open(const std::string& sAddress, std::string& sError)
{
    sockaddr_in addr{};
    std::string sWhy;
    if (!ParseAddress(sAddress, addr, sWhy)) {
        sError = "cannot listen on " + sAddress + ": " + sWhy;
        return false;
    }
    m_nListenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int nOne = 1;
    // A restarted run takes its port back at once rather than after TIME_WAIT.
    if (m_nListenFd < 0 ||
        setsockopt(m_nListenFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof nOne) != 0 ||
        bind(m_nListenFd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_nListenFd, kListenBacklog) != 0 || pipe2(m_vWake, O_NONBLOCK | O_CLOEXEC) != 0) {
        sError = "cannot listen on " + sAddress + ": " + std::strerror(errno);
        Stop();
        return false;
    }
    return true;
}

std::string CMetricsServer::GetBoundAddress() const
{
    sockaddr_in addr{};
    socklen_t nLength = sizeof addr;
    if (m_nListenFd < 0 ||
        getsockname(m_nListenFd, reinterpret_cast<sockaddr*>(&addr), &nLength) != 0) {
        return "";
    }
    char szHost[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, szHost, sizeof szHost);
    return std::string(szHost) + ":" + std::to_string(ntohs(addr.sin_port));
}

void CMetricsServer::Start()
{
    if (m_nListenFd >= 0 && !m_th.joinable()) {
        m_bStop.store(false);
        m_th = std::thread(&CMetricsServer::Loop, this);
    }
}

void CMetricsServer::Stop()
{
    m_bStop.store(true);
    if (m_th.joinable()) {
        const char c = 0;
        (void)!write(m_vWake[1], &c, 1);
        m_th.join();
    }
    for (CConnection& connection : m_vConnections) {
        Close(connection);
    }
    m_vConnections.clear();
    for (int* pFd : {&m_nListenFd, &m_vWake[0], &m_vWake[1]}) {
        if (*pFd >= 0) {
            close(*pFd);
            *pFd = -1;
        }
    }
}

std::string CMetricsServer::Answer(const std::string& sHead, const TextFn& fnText)
{
    const size_t nEol = sHead.find('\n');
    std::string sLine = sHead.substr(0, nEol);
    if (!sLine.empty() && sLine.back() == '\r') {
        sLine.pop_back();
    }
    // METHOD SP TARGET SP HTTP/1.x, single spaces.
    const size_t nSp1 = sLine.find(' ');
    const size_t nSp2 = nSp1 == std::string::npos ? nSp1 : sLine.find(' ', nSp1 + 1);
    if (nSp2 == std::string::npos || nSp1 == 0 || nSp2 == nSp1 + 1 ||
        sLine.find(' ', nSp2 + 1) != std::string::npos ||
        (sLine.compare(nSp2 + 1, std::string::npos, "HTTP/1.0") != 0 &&
         sLine.compare(nSp2 + 1, std::string::npos, "HTTP/1.1") != 0)) {
        return Response("400 Bad Request", "bad request\n");
    }
    const std::string sMethod = sLine.substr(0, nSp1);
    const std::string sTarget = sLine.substr(nSp1 + 1, nSp2 - nSp1 - 1);
    if (sMethod != "GET") {
        return Response("405 Method Not Allowed", "only GET\n", "Allow: GET\r\n");
    }
    const std::string sPath = sTarget.substr(0, sTarget.find('?'));
    if (sPath != "/metrics") {
        return Response("404 Not Found", "only /metrics\n");
    }
    return Response("200 OK", fnText());
}

void CMetricsServer::Loop()
{
    std::vector<pollfd> vPoll;
    while (!m_bStop.load()) {
        const auto tNow = std::chrono::steady_clock::now();
        vPoll.clear();
        vPoll.push_back({m_vWake[0], POLLIN, 0});
        // At the limit new clients wait in the backlog.
        const bool bAccepting = int(m_vConnections.size()) < kMaxConnections;
        vPoll.push_back({m_nListenFd, short(bAccepting ? POLLIN : 0), 0});
        auto tNext = tNow + m_timeout;
        for (const CConnection& connection : m_vConnections) {
            vPoll.push_back({connection.nFd, short(connection.sOut.empty() ? POLLIN : POLLOUT), 0});
            tNext = std::min(tNext, connection.tDeadline);
        }
        const auto nWaitMs =
            std::chrono::ceil<std::chrono::milliseconds>(
                std::max(tNext - tNow, std::chrono::steady_clock::duration::zero()))
                .count();
        if (poll(vPoll.data(), vPoll.size(), int(nWaitMs)) < 0 && errno != EINTR) {
            break;
        }
        if (vPoll[0].revents != 0) {
            break; // Stop
        }
        // Connections first: the ones accepted below have no poll entry yet.
        const auto tAfter = std::chrono::steady_clock::now();
        size_t nKept = 0;
        for (size_t i = 0; i < m_vConnections.size(); ++i) {
            CConnection& connection = m_vConnections[i];
            const bool bKeep =
                tAfter < connection.tDeadline &&
                (vPoll[i + 2].revents == 0 || Serve(connection, vPoll[i + 2].revents));
            if (!bKeep) {
                Close(connection);
                continue;
            }
            if (nKept != i) {
                m_vConnections[nKept] = std::move(connection);
            }
            ++nKept;
        }
        m_vConnections.resize(nKept);
        if (vPoll[1].revents & POLLIN) {
            Accept();
        }
    }
}

void CMetricsServer::Accept()
{
    while (int(m_vConnections.size()) < kMaxConnections) {
        const int nFd = accept4(m_nListenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (nFd < 0) {
            return; // EAGAIN: none left; a client that went away: the next poll goes on
        }
        CConnection connection;
        connection.nFd = nFd;
        connection.tDeadline = std::chrono::steady_clock::now() + m_timeout;
        m_vConnections.push_back(std::move(connection));
    }
}

bool CMetricsServer::Serve(CConnection& connection, short nEvents)
{
    if (connection.sOut.empty()) {
        if (nEvents & (POLLERR | POLLNVAL)) {
            return false;
        }
        char vBuffer[kReadChunk];
        const ssize_t nRead = recv(connection.nFd, vBuffer, sizeof vBuffer, 0);
        if (nRead <= 0) {
            return nRead < 0 && (errno == EAGAIN || errno == EINTR); // 0: gone before asking
        }
        connection.sIn.append(vBuffer, size_t(nRead));
        const size_t nEnd = HeadEnd(connection.sIn);
        if (nEnd != std::string::npos && nEnd <= kMaxRequestBytes) {
            connection.sOut = Answer(connection.sIn.substr(0, nEnd), m_fnText);
        } else if (connection.sIn.size() >= kMaxRequestBytes) {
            connection.sOut = Response("431 Request Header Fields Too Large", "request too long\n");
        } else {
            return true;
        }
    }
    // A client that stops reading fills its socket buffer; it is dropped at its deadline.
    const ssize_t nSent = send(connection.nFd, connection.sOut.data() + connection.nSent,
                               connection.sOut.size() - connection.nSent, MSG_NOSIGNAL);
    if (nSent < 0) {
        return errno == EAGAIN || errno == EINTR;
    }
    connection.nSent += size_t(nSent);
    return connection.nSent < connection.sOut.size();
}

void CMetricsServer::Close(CConnection& connection)
{
    if (connection.nFd < 0) {
        return;
    }
    // Whatever the client sent beyond its head is read first: closing on
    // unread bytes resets the connection and may lose the answer on its way.
    shutdown(connection.nFd, SHUT_WR);
    char vBuffer[kReadChunk];
    while (recv(connection.nFd, vBuffer, sizeof vBuffer, MSG_DONTWAIT) > 0) {
    }
    close(connection.nFd);
    connection.nFd = -1;
}
