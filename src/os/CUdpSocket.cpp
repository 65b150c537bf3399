#include "os/CUdpSocket.h"

#include "os/Ipv4Endpoint.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace os {

namespace {

// Batches larger than this go out in more than one call.
constexpr int kMaxBatch = 64;

std::string Describe(const char* szWhat, int nErr)
{
    return std::string(szWhat) + ": " + std::strerror(nErr);
}

} // namespace

void CUdpSocket::Close()
{
    if (m_nFd >= 0) {
        ::close(m_nFd);
        m_nFd = -1;
    }
    m_nRcvBufBytes = 0;
}

uint16_t CUdpSocket::GetLocalPort() const
{
    sockaddr_in sa{};
    socklen_t nLen = sizeof(sa);
    if (m_nFd < 0 || getsockname(m_nFd, reinterpret_cast<sockaddr*>(&sa), &nLen) != 0) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

bool CUdpSocket::OpenFd(std::string& sError)
{
    Close();
    m_nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_nFd < 0) {
        sError = Describe("socket", errno);
        return false;
    }
    return true;
}

bool CUdpSocket::OpenReceiver(const UdpUrl& url, int nRcvBufBytes, std::string& sError)
{
    if (!OpenFd(sError)) {
        return false;
    }
    const bool bMulticast = IsMulticast(url.nHost);
    int nOne = 1;
    // Several receivers of one group on one host is the normal case.
    if (bMulticast) {
        setsockopt(m_nFd, SOL_SOCKET, SO_REUSEADDR, &nOne, sizeof(nOne));
    }
    // A burst of the sender or a late reader thread must not cost datagrams:
    // the forced size needs privileges, the plain one is capped by
    // net.core.rmem_max.
    if (setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUFFORCE, &nRcvBufBytes, sizeof(nRcvBufBytes)) != 0) {
        setsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &nRcvBufBytes, sizeof(nRcvBufBytes));
    }
    socklen_t nLen = sizeof(m_nRcvBufBytes);
    getsockopt(m_nFd, SOL_SOCKET, SO_RCVBUF, &m_nRcvBufBytes, &nLen);

    const sockaddr_in bindAddr = Ipv4Endpoint(url.nHost, url.nPort);
    if (::bind(m_nFd, reinterpret_cast<const sockaddr*>(&bindAddr), sizeof(bindAddr)) != 0) {
        sError = Describe(("bind to " + FormatAddress(url.nHost) + ":" + std::to_string(url.nPort))
                              .c_str(),
                          errno);
        Close();
        return false;
    }
    if (!bMulticast) {
        return true;
    }
#ifdef IP_MULTICAST_ALL
    // Otherwise Linux hands this socket every group any socket of the host
    // joined on the port.
    int nZero = 0;
    setsockopt(m_nFd, IPPROTO_IP, IP_MULTICAST_ALL, &nZero, sizeof(nZero));
#endif
    int nRc = 0;
    if (url.nSource != 0) {
        ip_mreq_source mreq{};
        mreq.imr_multiaddr.s_addr = url.nHost;
        mreq.imr_interface.s_addr = url.nLocalAddr;
        mreq.imr_sourceaddr.s_addr = url.nSource;
        nRc = setsockopt(m_nFd, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &mreq, sizeof(mreq));
    } else {
        ip_mreq mreq{};
        mreq.imr_multiaddr.s_addr = url.nHost;
        mreq.imr_interface.s_addr = url.nLocalAddr;
        nRc = setsockopt(m_nFd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq));
    }
    if (nRc != 0) {
        sError = Describe(("joining group " + FormatAddress(url.nHost)).c_str(), errno);
        Close();
        return false;
    }
    return true;
}

bool CUdpSocket::OpenSender(const UdpUrl& url, std::string& sError)
{
    if (!OpenFd(sError)) {
        return false;
    }
    const bool bMulticast = IsMulticast(url.nHost);
    if (url.nTtl >= 0) {
        const int nOpt = bMulticast ? IP_MULTICAST_TTL : IP_TTL;
        if (setsockopt(m_nFd, IPPROTO_IP, nOpt, &url.nTtl, sizeof(url.nTtl)) != 0) {
            sError = Describe("setting the TTL", errno);
            Close();
            return false;
        }
    }
    if (url.nLocalAddr != 0) {
        int nRc = 0;
        if (bMulticast) {
            in_addr iface{};
            iface.s_addr = url.nLocalAddr;
            nRc = setsockopt(m_nFd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof(iface));
        } else {
            const sockaddr_in local = Ipv4Endpoint(url.nLocalAddr, 0);
            nRc = ::bind(m_nFd, reinterpret_cast<const sockaddr*>(&local), sizeof(local));
        }
        if (nRc != 0) {
            sError = Describe(("using local address " + FormatAddress(url.nLocalAddr)).c_str(),
                              errno);
            Close();
            return false;
        }
    }
    const sockaddr_in dest = Ipv4Endpoint(url.nHost, url.nPort);
    if (::connect(m_nFd, reinterpret_cast<const sockaddr*>(&dest), sizeof(dest)) != 0) {
        sError = Describe(("connecting to " + FormatAddress(url.nHost) + ":" +
                           std::to_string(url.nPort))
                              .c_str(),
                          errno);
        Close();
        return false;
    }
    return true;
}

int CUdpSocket::WaitReadable(int nTimeoutMs)
{
    pollfd pfd{};
    pfd.fd = m_nFd;
    pfd.events = POLLIN;
    const int nRc = ::poll(&pfd, 1, nTimeoutMs);
    if (nRc < 0) {
        return errno == EINTR ? 0 : -1;
    }
    return nRc > 0 ? 1 : 0;
}

int CUdpSocket::ReceiveBatch(uint8_t* pSlots, int nSlotBytes, int nCount, int* pLengths)
{
    if (nCount > kMaxBatch) {
        nCount = kMaxBatch;
    }
    mmsghdr vMsg[kMaxBatch];
    iovec vIov[kMaxBatch];
    std::memset(vMsg, 0, sizeof(mmsghdr) * size_t(nCount));
    for (int i = 0; i < nCount; ++i) {
        vIov[i].iov_base = pSlots + size_t(i) * size_t(nSlotBytes);
        vIov[i].iov_len = size_t(nSlotBytes);
        vMsg[i].msg_hdr.msg_iov = &vIov[i];
        vMsg[i].msg_hdr.msg_iovlen = 1;
    }
    const int nRc = ::recvmmsg(m_nFd, vMsg, unsigned(nCount), MSG_DONTWAIT, nullptr);
    if (nRc < 0) {
        return (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) ? 0 : -1;
    }
    for (int i = 0; i < nRc; ++i) {
        const bool bCut = (vMsg[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
        pLengths[i] = bCut ? -1 : int(vMsg[i].msg_len);
    }
    return nRc;
}

int CUdpSocket::SendBatch(const uint8_t* pData, int nStride, const int* pLengths, int nCount)
{
    int nSent = 0;
    while (nSent < nCount) {
        const int nChunk = nCount - nSent < kMaxBatch ? nCount - nSent : kMaxBatch;
        mmsghdr vMsg[kMaxBatch];
        iovec vIov[kMaxBatch];
        std::memset(vMsg, 0, sizeof(mmsghdr) * size_t(nChunk));
        for (int i = 0; i < nChunk; ++i) {
            const int k = nSent + i;
            vIov[i].iov_base = const_cast<uint8_t*>(pData + size_t(k) * size_t(nStride));
            vIov[i].iov_len = size_t(pLengths[k]);
            vMsg[i].msg_hdr.msg_iov = &vIov[i];
            vMsg[i].msg_hdr.msg_iovlen = 1;
        }
        const int nRc = ::sendmmsg(m_nFd, vMsg, unsigned(nChunk), 0);
        if (nRc < 0) {
            return nSent > 0 ? nSent : -1;
        }
        nSent += nRc;
        if (nRc < nChunk) {
            break; // the caller looks at errno by sending the rest again
        }
    }
    return nSent;
}

} // namespace os
