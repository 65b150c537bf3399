#include "os/CUdpUrl.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

struct UrlCase
{
    const char* szUrl;
    os::EUdpRole role;
    const char* szError; // part of the reason; null: accepted
};

std::ostream& operator<<(std::ostream& out, const UrlCase& c)
{
    return out << c.szUrl;
}

class CUdpUrlTest : public ::testing::TestWithParam<UrlCase>
{
};

constexpr auto kIn = os::EUdpRole::kInput;
constexpr auto kOut = os::EUdpRole::kOutput;

uint32_t Addr(const char* sz)
{
    return inet_addr(sz);
}

} // namespace

TEST_P(CUdpUrlTest, AcceptsOrRefusesWithReason)
{
    const UrlCase& c = GetParam();
    os::UdpUrl url;
    std::string sError;
    const bool bOk = os::ParseUdpUrl(c.szUrl, c.role, url, sError);
    if (c.szError == nullptr) {
        EXPECT_TRUE(bOk) << sError;
    } else {
        EXPECT_FALSE(bOk);
        EXPECT_NE(sError.find(c.szError), std::string::npos) << "reason: " << sError;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CUdpUrlTest,
    ::testing::Values(
        UrlCase{"udp://127.0.0.1:1234", kIn, nullptr}, UrlCase{"rtp://127.0.0.1:1234", kOut, nullptr},
        UrlCase{"udp://:1234", kIn, nullptr}, UrlCase{"udp://@239.1.1.1:1234", kIn, nullptr},
        UrlCase{"udp://10.0.0.1@232.1.1.1:5000?localaddr=127.0.0.1", kIn, nullptr},
        UrlCase{"udp://239.1.1.1:5000?ttl=0&localaddr=127.0.0.1&pkts=1", kOut, nullptr},
        UrlCase{"udp://localhost:5000", kOut, nullptr},
        UrlCase{"tcp://127.0.0.1:1234", kIn, "not a udp:// or rtp://"},
        UrlCase{"udp://127.0.0.1", kIn, "no port"}, UrlCase{"udp://127.0.0.1:", kIn, "port ''"},
        UrlCase{"udp://127.0.0.1:0", kIn, "port '0'"},
        UrlCase{"udp://127.0.0.1:65536", kOut, "port '65536'"},
        UrlCase{"udp://127.0.0.1:12a", kOut, "port '12a'"},
        UrlCase{"udp://:1234", kOut, "no destination host"},
        UrlCase{"udp://[::1]:1234", kIn, "IPv6"},
        UrlCase{"udp://300.1.1.1:1234", kOut, "host '300.1.1.1'"},
        UrlCase{"udp://10.0.0.1@127.0.0.1:5000", kIn, "needs a multicast group"},
        UrlCase{"udp://bogus@239.1.1.1:5000", kIn, "source 'bogus'"},
        UrlCase{"udp://10.0.0.1@239.1.1.1:5000", kOut, "inputs only"},
        UrlCase{"udp://239.1.1.1:5000?ttl=1", kIn, "'ttl' applies to outputs only"},
        UrlCase{"udp://127.0.0.1:5000?pkts=8", kOut, "pkts=8"},
        UrlCase{"udp://127.0.0.1:5000?ttl=256", kOut, "ttl=256"},
        UrlCase{"udp://127.0.0.1:5000?ttl=1&ttl=2", kOut, "given twice"},
        UrlCase{"udp://127.0.0.1:5000?port=1", kOut, "unknown parameter 'port'"},
        UrlCase{"udp://127.0.0.1:5000?ttl", kOut, "name=value"},
        UrlCase{"udp://127.0.0.1:5000?", kOut, "empty parameter list"},
        UrlCase{"udp://127.0.0.1:5000?localaddr=eth0", kOut, "localaddr=eth0"},
        UrlCase{"udp://127.0.0.1:5000?localaddr=127.0.0.1", kIn, "is not one"}));

TEST(CUdpUrlFieldsTest, FieldsOfAFullInputAndOutput)
{
    os::UdpUrl url;
    std::string sError;
    ASSERT_TRUE(os::ParseUdpUrl("rtp://10.0.0.9@232.1.2.3:5004?localaddr=127.0.0.1", kIn, url,
                                sError));
    EXPECT_TRUE(url.bRtp);
    EXPECT_EQ(url.nHost, Addr("232.1.2.3"));
    EXPECT_EQ(url.nSource, Addr("10.0.0.9"));
    EXPECT_EQ(url.nLocalAddr, Addr("127.0.0.1"));
    EXPECT_EQ(url.nPort, 5004);

    ASSERT_TRUE(os::ParseUdpUrl("udp://127.0.0.1:65535?pkts=3&ttl=16", kOut, url, sError));
    EXPECT_FALSE(url.bRtp);
    EXPECT_EQ(url.nPort, 65535);
    EXPECT_EQ(url.nPackets, 3);
    EXPECT_EQ(url.nTtl, 16);
    EXPECT_EQ(url.nSource, 0u);

    ASSERT_TRUE(os::ParseUdpUrl("udp://127.0.0.1:1", kOut, url, sError));
    EXPECT_EQ(url.nPackets, 7); // the default
    EXPECT_EQ(url.nTtl, -1);
}
