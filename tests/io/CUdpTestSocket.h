#pragma once

#include <arpa/inet.h>
#include <cstdint>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

// A plain UDP socket on 127.0.0.1 for the network source and sink tests: a
// receiver the sink sends to, or a sender that feeds the source.
class CUdpTestSocket
{
public:
    CUdpTestSocket()
    {
        m_nFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int nBuf = 4 * 1024 * 1024;
        setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
        sockaddr_in sa = Loopback(0);
        bind(m_nFd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
        socklen_t nLen = sizeof(sa);
        getsockname(m_nFd, reinterpret_cast<sockaddr*>(&sa), &nLen);
        m_nPort = ntohs(sa.sin_port);
    }
    ~CUdpTestSocket() { close(m_nFd); }
    CUdpTestSocket(const CUdpTestSocket&) = delete;
    CUdpTestSocket& operator=(const CUdpTestSocket&) = delete;

    uint16_t Port() const { return m_nPort; }

    // One datagram, or an empty vector when none came within nTimeoutMs.
    std::vector<uint8_t> Receive(int nTimeoutMs)
    {
        pollfd pfd{m_nFd, POLLIN, 0};
        if (poll(&pfd, 1, nTimeoutMs) <= 0) {
            return {};
        }
        std::vector<uint8_t> v(65536);
        const ssize_t n = recv(m_nFd, v.data(), v.size(), 0);
        v.resize(n > 0 ? size_t(n) : 0);
        return v;
    }

    bool SendTo(uint16_t nPort, const std::vector<uint8_t>& data)
    {
        sockaddr_in sa = Loopback(nPort);
        return sendto(m_nFd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sa),
                      sizeof(sa)) == ssize_t(data.size());
    }

    // A port that was free a moment ago: bound, read and released.
    static uint16_t FreePort()
    {
        CUdpTestSocket probe;
        return probe.Port();
    }

private:
    static sockaddr_in Loopback(uint16_t nPort)
    {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(nPort);
        return sa;
    }

    int m_nFd = -1;
    uint16_t m_nPort = 0;
};
