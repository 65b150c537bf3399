#include "os/CSrtUrl.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

namespace {

struct SrtCase
{
    const char* szUrl;
    const char* szError; // part of the reason; null: accepted
};

std::ostream& operator<<(std::ostream& out, const SrtCase& c)
{
    return out << c.szUrl;
}

class CSrtUrlTest : public ::testing::TestWithParam<SrtCase>
{
};

const std::string k9(9, 'p'), k10(10, 'p'), k79(79, 'p'), k80(80, 'p');
const std::string kLongId(513, 'i');

} // namespace

TEST_P(CSrtUrlTest, AcceptsOrRefusesWithReason)
{
    const SrtCase& c = GetParam();
    os::SrtUrl url;
    std::string sError;
    const bool bOk = os::ParseSrtUrl(c.szUrl, url, sError);
    if (c.szError == nullptr) {
        EXPECT_TRUE(bOk) << sError;
    } else {
        EXPECT_FALSE(bOk);
        EXPECT_NE(sError.find(c.szError), std::string::npos) << "reason: " << sError;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, CSrtUrlTest,
    ::testing::Values(
        SrtCase{"srt://:9000", nullptr}, SrtCase{"srt://127.0.0.1:9000", nullptr},
        SrtCase{"srt://localhost:9000?mode=caller&latency=0", nullptr},
        SrtCase{"srt://127.0.0.1:9000?mode=listener&latency=60000", nullptr},
        SrtCase{"srt://127.0.0.1:9000?mode=rendezvous&localport=9001", nullptr},
        SrtCase{"udp://127.0.0.1:9000", "not an srt://"}, SrtCase{"srt://127.0.0.1", "no port"},
        SrtCase{"srt://127.0.0.1:0", "port '0'"}, SrtCase{"srt://[::1]:9000", "IPv6"},
        SrtCase{"srt://239.1.1.1:9000", "239.1.1.1 is a multicast group"},
        SrtCase{"srt://300.0.0.1:9000", "host '300.0.0.1'"},
        SrtCase{"srt://:9000?", "empty parameter list"},
        SrtCase{"srt://:9000?mode=server", "mode=server is not caller, listener or rendezvous"},
        SrtCase{"srt://:9000?mode=caller", "mode caller needs the peer's host"},
        SrtCase{"srt://:9000?mode=rendezvous", "mode rendezvous needs the peer's host"},
        SrtCase{"srt://:9000?latency=60001", "latency=60001"},
        SrtCase{"srt://:9000?latency=-1", "latency=-1"},
        SrtCase{"srt://:9000?pbkeylen=16", "pbkeylen=16 without a passphrase"},
        SrtCase{"srt://:9000?passphrase=0123456789&pbkeylen=8",
                "pbkeylen=8 is not 0, 16, 24 or 32"},
        SrtCase{"srt://:9000?passphrase=0123456789&pbkeylen=33", "pbkeylen=33"},
        SrtCase{"srt://:9000?passphrase=%zz23456789", "passphrase has a '%' that is not %XX"},
        SrtCase{"srt://:9000?streamid=a%2", "streamid=a%2 has a '%'"},
        SrtCase{"srt://:9000?localport=9001", "localport applies to caller and rendezvous"},
        SrtCase{"srt://127.0.0.1:9000?localport=0", "localport=0"},
        SrtCase{"srt://:9000?maxbw=1000", "unknown parameter 'maxbw'"},
        SrtCase{"srt://:9000?latency=1&latency=2", "given twice"}));

// The passphrase's limits, counted after unescaping; a wrong one is named
// by its length, never echoed.
TEST(CSrtUrlSecretTest, PassphraseOfTenToSeventyNineCharacters)
{
    os::SrtUrl url;
    std::string sError;
    for (const std::string& s : {k10, k79}) {
        EXPECT_TRUE(os::ParseSrtUrl(("srt://:1?passphrase=" + s).c_str(), url, sError)) << sError;
        EXPECT_EQ(url.sPassphrase, s);
    }
    for (const std::string& s : {k9, k80}) {
        EXPECT_FALSE(os::ParseSrtUrl(("srt://:1?passphrase=" + s).c_str(), url, sError));
        EXPECT_NE(sError.find(std::to_string(s.size()) + " characters is not 10 to 79"),
                  std::string::npos)
            << sError;
        EXPECT_EQ(sError.find(s), std::string::npos) << "the secret is not echoed";
    }
    // 12 characters written as 14: the escape counts as one.
    ASSERT_TRUE(os::ParseSrtUrl("srt://:1?passphrase=a%26b%3Dcdefghij", url, sError)) << sError;
    EXPECT_EQ(url.sPassphrase, "a&b=cdefghij");
    EXPECT_FALSE(os::ParseSrtUrl("srt://:1?passphrase=a%26bcdefg", url, sError))
        << "9 characters once unescaped";
}

TEST(CSrtUrlFieldsTest, ModeFollowsTheHostUnlessGiven)
{
    os::SrtUrl url;
    std::string sError;
    ASSERT_TRUE(os::ParseSrtUrl("srt://:5000", url, sError));
    EXPECT_EQ(url.mode, os::ESrtMode::kListener);
    EXPECT_EQ(url.nHost, 0u);
    EXPECT_EQ(url.nLatencyMs, -1);
    EXPECT_EQ(url.nKeyBytes, 0);

    ASSERT_TRUE(os::ParseSrtUrl("srt://127.0.0.1:65535?streamid=%23!::r=live,m=publish&"
                                "passphrase=0123456789&pbkeylen=32&latency=200",
                                url, sError))
        << sError;
    EXPECT_EQ(url.mode, os::ESrtMode::kCaller);
    EXPECT_EQ(url.nHost, inet_addr("127.0.0.1"));
    EXPECT_EQ(url.nPort, 65535);
    EXPECT_EQ(url.sStreamId, "#!::r=live,m=publish");
    EXPECT_EQ(url.nKeyBytes, 32);
    EXPECT_EQ(url.nLatencyMs, 200);
    EXPECT_EQ(url.nLocalPort, 0) << "a caller binds any port";

    ASSERT_TRUE(os::ParseSrtUrl("srt://127.0.0.1:7000?mode=listener", url, sError));
    EXPECT_EQ(url.mode, os::ESrtMode::kListener);
    EXPECT_EQ(url.nHost, inet_addr("127.0.0.1")) << "the address it listens on";

    ASSERT_TRUE(os::ParseSrtUrl("srt://127.0.0.1:7000?mode=rendezvous", url, sError));
    EXPECT_EQ(url.nLocalPort, 7000) << "both ends of a rendezvous on one port";
}

TEST(CSrtUrlFieldsTest, HidePassphraseKeepsEverythingElse)
{
    EXPECT_EQ(os::HidePassphrase("srt://h:1?latency=5&passphrase=secret1234&streamid=x"),
              "srt://h:1?latency=5&passphrase=***&streamid=x");
    EXPECT_EQ(os::HidePassphrase("srt://h:1?passphrase=secret1234"), "srt://h:1?passphrase=***");
    EXPECT_EQ(os::HidePassphrase("srt://h:1?streamid=passphrase=x"),
              "srt://h:1?streamid=passphrase=x");
    EXPECT_EQ(os::HidePassphrase("srt://:1"), "srt://:1");
}
