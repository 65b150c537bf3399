#pragma once

#include "os/CUdpUrl.h"

#include <cstdint>
#include <string>

namespace os {

// An IPv4 UDP socket of one network input or output. Its owner opens and
// closes it; between, only one thread uses it (the source's reader thread,
// or the engine's output thread).
class CUdpSocket
{
public:
    CUdpSocket() = default;
    ~CUdpSocket() { Close(); }
    CUdpSocket(const CUdpSocket&) = delete;
    CUdpSocket& operator=(const CUdpSocket&) = delete;

    // Binds to the port (on the group, for a multicast one, so that other
    // groups on the same port stay out) and joins the group, source-specific
    // when a source is given, on localaddr's interface when given. Asks for a
    // receive buffer of nRcvBufBytes.
    bool OpenReceiver(const UdpUrl& url, int nRcvBufBytes, std::string& sError);
    // Connected to the destination, so that a send needs no address and an
    // absent local receiver shows as ECONNREFUSED.
    bool OpenSender(const UdpUrl& url, std::string& sError);
    void Close();
    bool IsOpen() const { return m_nFd >= 0; }
    // The receive buffer the kernel granted, bytes (Linux reports twice
    // what it accounts for payload).
    int GetReceiveBufferBytes() const { return m_nRcvBufBytes; }
    // The local port, host byte order; 0 when not bound.
    uint16_t GetLocalPort() const;

    // 1 readable, 0 nothing within nTimeoutMs, -1 error.
    int WaitReadable(int nTimeoutMs);
    // Takes up to nCount waiting datagrams without blocking, one per slot of
    // nSlotBytes. pLengths gets each length, -1 for one cut by its slot.
    // The number taken, 0 when none waits, -1 on an error (errno set).
    int ReceiveBatch(uint8_t* pSlots, int nSlotBytes, int nCount, int* pLengths);
    // Sends nCount datagrams, datagram i at pData + i * nStride, pLengths[i]
    // bytes, in one call. The number sent (the rest from there on did not
    // go), or -1 with errno when none went.
    int SendBatch(const uint8_t* pData, int nStride, const int* pLengths, int nCount);

private:
    // A fresh datagram socket in place of any open one.
    bool OpenFd(std::string& sError);

    int m_nFd = -1;
    int m_nRcvBufBytes = 0; // bytes, as getsockopt reports it
};

} // namespace os
