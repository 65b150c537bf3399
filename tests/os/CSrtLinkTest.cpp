#include "os/CSrtLink.h"

#include "io/CIoTestKit.h"

#include <gtest/gtest.h>

namespace {

using iokit::CLogCapture;
using iokit::CUdpTestSocket;

os::SrtUrl Parse(const std::string& sUrl)
{
    os::SrtUrl url;
    std::string sError;
    EXPECT_TRUE(os::ParseSrtUrl(sUrl.c_str(), url, sError)) << sError;
    return url;
}

// Polls both ends, 10 ms each, until f() holds or 10 s have passed.
template <class F> bool PollUntil(os::CSrtLink& a, os::CSrtLink& b, F f)
{
    for (int i = 0; i < 500; ++i) {
        a.Poll(10);
        b.Poll(10);
        if (f()) {
            return true;
        }
    }
    return false;
}

} // namespace

// A listener serves one caller at a time, and only callers asking for its
// streamid; when its caller goes it takes the next.
TEST(CSrtLinkTest, ListenerAdmitsOneCallerWithItsStreamIdAtATime)
{
    CLogCapture log;
    const std::string sPort = std::to_string(CUdpTestSocket::FreePort());
    std::string sError;
    os::CSrtLink listener, wrongId, first, second;
    ASSERT_TRUE(listener.Open(Parse("srt://127.0.0.1:" + sPort + "?mode=listener&streamid=cam1"),
                              "listener", sError))
        << sError;
    const std::string sCall = "srt://127.0.0.1:" + sPort + "?streamid=";
    ASSERT_TRUE(wrongId.Open(Parse(sCall + "cam2"), "cam2", sError)) << sError;
    EXPECT_TRUE(PollUntil(listener, wrongId, [&] {
        return log.Has("SRT caller 127.0.0.1:") &&
               log.Has("refused (it asks for another streamid)");
    }));
    EXPECT_FALSE(wrongId.IsConnected());
    wrongId.Close();

    ASSERT_TRUE(first.Open(Parse(sCall + "cam1"), "first", sError)) << sError;
    ASSERT_TRUE(
        PollUntil(listener, first, [&] { return listener.IsConnected() && first.IsConnected(); }));
    ASSERT_TRUE(second.Open(Parse(sCall + "cam1"), "second", sError)) << sError;
    EXPECT_TRUE(
        PollUntil(listener, second, [&] { return log.Has("refused (busy with another peer)"); }));
    EXPECT_FALSE(second.IsConnected());

    // The first caller hangs up: the listener sees it at its next receive
    // and accepts the second, which has been calling again meanwhile.
    first.Close();
    uint8_t vBuf[1500];
    ASSERT_TRUE(PollUntil(listener, second, [&] { return listener.Receive(vBuf, 1500, 10) < 0; }));
    EXPECT_TRUE(log.Has("SRT connection lost"));
    ASSERT_TRUE(PollUntil(listener, second,
                          [&] { return listener.IsConnected() && second.IsConnected(); }));
    EXPECT_EQ(listener.GetConnections(), 2);

    // A message each way is a message: what the other end receives whole.
    const uint8_t vMessage[1316] = {0x47, 1, 2, 3};
    EXPECT_EQ(second.Send(vMessage, 1316), os::CSrtLink::ESend::kSent);
    int nGot = 0;
    ASSERT_TRUE(
        PollUntil(listener, second, [&] { return (nGot = listener.Receive(vBuf, 1500, 10)) > 0; }));
    EXPECT_EQ(nGot, 1316);
    EXPECT_EQ(vBuf[3], 3);
}
