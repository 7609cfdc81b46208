/* hartd's command line: endpoints, and what it refuses before anything is loaded. */
#include <gtest/gtest.h>

#include <sstream>

#include "Options.h"

namespace {

TEST(HartdOptionsTest, EndpointsNameAPortAndAnAddressExplicitly)
{
    std::string why;
    const auto v4 = hartd::ParseListen("COM2=127.0.0.1:5095", why);
    ASSERT_TRUE(v4) << why;
    EXPECT_EQ(v4->comName, "COM2");
    EXPECT_EQ(v4->host, "127.0.0.1");
    EXPECT_EQ(v4->port, 5095);
    const auto v6 = hartd::ParseListen("COM101=[::1]:0", why);
    ASSERT_TRUE(v6) << why;
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->port, 0);
    for (const char* bad : {"127.0.0.1:5094", "COM1=:5094", "COM1=127.0.0.1", "COM1=127.0.0.1:70000",
                            "COMX=127.0.0.1:5094", "COM0=127.0.0.1:5094", "COM1=::1:5094", "COM1=[::1]5094"}) {
        EXPECT_FALSE(hartd::ParseListen(bad, why)) << bad;
    }
}

TEST(HartdOptionsTest, DefaultsServeTheFirstPortOnLoopbackOnly)
{
    std::ostringstream out;
    std::ostringstream err;
    const hartd::ParseOutcome plain = hartd::ParseArguments({"--sim", "--debug", "0x21"}, out, err);
    ASSERT_TRUE(plain.options) << err.str();
    ASSERT_EQ(plain.options->listens.size(), 1u);
    EXPECT_EQ(plain.options->listens[0].host, "127.0.0.1");
    EXPECT_EQ(plain.options->listens[0].port, 5094);
    EXPECT_EQ(plain.options->maxSessions, 8u);
    EXPECT_EQ(plain.options->preambles, 5);
    EXPECT_EQ(plain.options->debugLevel, 0x21u);

    for (std::vector<std::string> bad : std::vector<std::vector<std::string>>{
             {"--sim", "--tty", "/dev/null"},
             {"--listen", "COM1=0.0.0.0"},
             {"--max-sessions", "0"},
             {"--preambles", "1"},
             {"--min-inactivity-ms", "5000", "--max-inactivity-ms", "1000"},
             {"--sim-burst"}}) {
        EXPECT_EQ(hartd::ParseArguments(bad, out, err).exitCode, 2) << bad.front();
    }
}

} // namespace
