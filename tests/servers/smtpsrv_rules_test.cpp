// The pieces of the relay rule on their own: reading a mail path, dropping
// the Bcc field, the Received line; and the choice and test of the
// server's ports.

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <ostream>
#include <string>
#include <vector>

#include "net/socketU.h"
#include "servers/smtpsrvmdl.h"
#include "servers/smtpsrvthdU.h"
#include "tests/servers/smtpsrv_support.h"
#include "tests/support/freeport.h"

namespace bm::test {
namespace {

struct PathCase {
    const char* name;
    const char* argument;
    std::optional<std::string> address;
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class ParseMailPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(ParseMailPathTest, GivesTheAddress)
{
    EXPECT_EQ(ParseMailPath(GetParam().argument), GetParam().address);
}

const PathCase kPathCases[] = {
    {"Bracketed", "<joe@home.example>", "joe@home.example"},
    {"WithParameters", "<joe@home.example> SIZE=1000 BODY=8BITMIME", "joe@home.example"},
    {"BlankAfterColon", "  <joe@home.example>", "joe@home.example"},
    {"Bare", "joe@home.example SIZE=1", "joe@home.example"},
    {"NullPath", "<>", ""},
    {"Nothing", "", ""},
    {"SourceRoute", "<@a.example,@b.example:joe@home.example>", "joe@home.example"},
    {"Unclosed", "<joe@home.example", std::nullopt},
    {"SourceRouteWithoutMailbox", "<@a.example>", std::nullopt},
};
INSTANTIATE_TEST_SUITE_P(Paths, ParseMailPathTest, ::testing::ValuesIn(kPathCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct BccCase {
    const char* name;
    const char* text;
    const char* expected;
};

// Tests are listed by case name, not by the bytes of the case.
void PrintTo(const BccCase& c, std::ostream* os) { *os << c.name; }

class RemoveBccHeaderTest : public ::testing::TestWithParam<BccCase> {};

TEST_P(RemoveBccHeaderTest, DropsTheWholeField)
{
    EXPECT_EQ(RemoveBccHeader(GetParam().text), GetParam().expected);
}

const BccCase kBccCases[] = {
    {"NoBcc", "From: a\r\nTo: b\r\n\r\nBcc: body\r\n", "From: a\r\nTo: b\r\n\r\nBcc: body\r\n"},
    {"OneLine", "From: a\r\nBcc: x@y\r\nTo: b\r\n\r\nbody\r\n", "From: a\r\nTo: b\r\n\r\nbody\r\n"},
    {"Folded", "From: a\r\nBCC: x@y,\r\n\tz@y,\r\n  w@y\r\nTo: b\r\n\r\nbody\r\n", "From: a\r\nTo: b\r\n\r\nbody\r\n"},
    {"SeveralFields", "bcc: 1\r\nFrom: a\r\nBcc:\r\n 2\r\n\r\nb\r\n", "From: a\r\n\r\nb\r\n"},
    {"BlankBeforeColon", "Bcc : x@y\r\nFrom: a\r\n\r\n", "From: a\r\n\r\n"},
    {"SimilarNamesStay", "Bccx: 1\r\nX-Bcc: 2\r\nResent-Bcc: 3\r\n\r\n", "Bccx: 1\r\nX-Bcc: 2\r\nResent-Bcc: 3\r\n\r\n"},
    {"ContinuationOfOtherFieldStays", "To: a,\r\n b\r\nBcc: c\r\n d\r\nSubject: s\r\n\r\n",
     "To: a,\r\n b\r\nSubject: s\r\n\r\n"},
    {"NoBodyNoEmptyLine", "From: a\r\nBcc: c\r\n", "From: a\r\n"},
    {"LoneLineFeeds", "From: a\nBcc: c\n d\nTo: e\n\nbody\n", "From: a\nTo: e\n\nbody\n"},
};
INSTANTIATE_TEST_SUITE_P(Bcc, RemoveBccHeaderTest, ::testing::ValuesIn(kBccCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReceivedLineTest, HasTheFormAndEndsWithTheDate)
{
    const std::string line = BuildReceivedLine(
        {"localhost", "127.0.0.1", "client.example", "brixhost", "127.0.0.1", true}, 0);
    EXPECT_TRUE(line.starts_with("Received: from localhost[127.0.0.1] (helo=client.example) by "
                                 "brixhost[127.0.0.1] with esmtp (Brixmoor SMTP Server); "))
        << line;
    // RFC 5322 §3.6.7: the field ends with "; " and a §3.3 date-time.
    EXPECT_TRUE(std::regex_search(line, std::regex(R"(\); \w{3}, \d{1,2} \w{3} \d{4} \d\d:\d\d:\d\d [+-]\d{4}\r\n$)")))
        << line;
    EXPECT_NE(BuildReceivedLine({"h", "1.2.3.4", "x", "s", "5.6.7.8", false}, 0).find(" with smtp "),
              std::string::npos);
}

TEST(ReceivedLineTest, HeloNameCannotBreakTheHeader)
{
    const std::string line =
        BuildReceivedLine({"h", "1.2.3.4", "evil\rBcc: x\x01" + std::string(400, 'n'), "s", "5.6.7.8", true}, 0);
    EXPECT_EQ(line.find('\r'), line.size() - 2);
    EXPECT_EQ(line.find('\x01'), std::string::npos);
    EXPECT_NE(line.find("(helo=evil?Bcc: x?nnn"), std::string::npos) << line;
    EXPECT_LT(line.size(), 998u);
}

// --- Settings from the options ----------------------------------------------

TEST(SmtpSettingsTest, ProgramServerListensOnLoopbackUnlessWidened)
{
    SmtpEnv env;
    TOptions& options = env.Options();
    options.SetSMTPPort(2600);
    options.SetSMTPPortSSL(2601);
    TSMTPServerSettings settings = SMTPSettingsFromOptions(options, env.Accounts(), env.Friends());
    EXPECT_EQ(settings.listenAddresses.front(), "127.0.0.1");
    for (const auto& address : settings.listenAddresses)
        EXPECT_TRUE(address == "127.0.0.1" || address == "::1") << address;
    EXPECT_EQ(settings.port, 2600);
    EXPECT_EQ(settings.portSSL, 2601);
    EXPECT_EQ(settings.options, &options);
    EXPECT_EQ(settings.accounts, &env.Accounts());
    EXPECT_EQ(settings.friends, &env.Friends());
    EXPECT_EQ(settings.timeouts.idleMs, 5 * 60 * 1000);

    options.SetListenAddress("0.0.0.0");
    settings = SMTPSettingsFromOptions(options, env.Accounts(), env.Friends());
    EXPECT_EQ(settings.listenAddresses, std::vector<std::string>{kAnyAddress});
}

TEST(SmtpSettingsTest, ServerNeedsItsLists)
{
    TSMTPServerSettings settings;
    EXPECT_THROW(TLocalSMTPServerMdl server(settings), std::logic_error);
}

// --- Ports -------------------------------------------------------------------

TEST(SmtpPortsTest, ChooseFreePortsSkipsThePop3PortsAndSaves)
{
    SmtpEnv env;
    TOptions& options = env.Options();
    options.SetPOP3Port(2525);
    options.SetPOP3PortSSL(2526);
    const auto file = env.Folder() / "options.ini";
    const auto [plain, secure] = TLocalSMTPServerMdl::ChooseFreePorts(options, file);
    EXPECT_GE(plain, 2527);
    EXPECT_GT(secure, plain);
    EXPECT_EQ(options.SMTPPort(), plain);
    EXPECT_EQ(options.SMTPPortSSL(), secure);
    TOptions reloaded;
    reloaded.LoadFromFile(file);
    EXPECT_EQ(reloaded.SMTPPort(), plain);
    EXPECT_EQ(reloaded.SMTPPortSSL(), secure);
}

TEST(SmtpPortsTest, ChooseFreePortsPassesOverATakenPort)
{
    SmtpEnv env;
    TOptions& options = env.Options();
    options.SetPOP3Port(0);
    options.SetPOP3PortSSL(0);
    const auto first = TLocalSMTPServerMdl::ChooseFreePorts(options, env.Folder() / "a.ini");
    TcpListener taken(first.first);
    const auto second = TLocalSMTPServerMdl::ChooseFreePorts(options, env.Folder() / "b.ini");
    EXPECT_NE(second.first, first.first);
    EXPECT_NE(second.second, first.first);
}

TEST(SmtpPortsTest, TestPortTellsWhetherTheServerCouldListen)
{
    SmtpEnv env;
    TcpListener probe(0);
    const uint16_t port = probe.Port();
    env.Options().SetSMTPPort(port);
    EXPECT_FALSE(TLocalSMTPServerMdl::TestPort(env.Options()));  // taken
}

TEST(SmtpPortsTest, TestPortSucceedsOnAFreePort)
{
    SmtpEnv env;
    EXPECT_TRUE(test::ForSomeFreePort([&](uint16_t port) {
        env.Options().SetSMTPPort(port);
        return TLocalSMTPServerMdl::TestPort(env.Options());
    }));
}

TEST(SmtpPortsTest, ThreadStartFailsWhenAPortIsTakenAndLeavesNothingListening)
{
    SmtpEnv env;
    TcpListener taken(0);
    uint16_t plainPort = 0;
    {
        TcpListener probe(0);
        plainPort = probe.Port();
    }
    env.Settings().port = plainPort;
    env.Settings().portSSL = taken.Port();
    TSMTPServerThread server(env.Settings());
    EXPECT_THROW(server.Start(), ESocketError);
    EXPECT_FALSE(server.IsRunning());
    // The plain listener started first was stopped again.
    EXPECT_NO_THROW(TcpListener again(plainPort));
}

} // namespace
} // namespace bm::test
