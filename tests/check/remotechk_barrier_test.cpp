// The classifier's durability barrier over a whole pass against a scripted
// POP3 server: the pass's files are written unsynced, made durable before
// the first DELE, and a barrier that fails deletes nothing on the server.
#include "tests/check/mailchk_fakepop3.h"
#include "tests/check/remotechk_support.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace bm::test {
namespace {

using Reaction = FakePop3Server::Reaction;

constexpr const char* kAccount = "Work";
constexpr const char* kOwn = "me@work.example";

class RemoteChkBarrierTest : public ::testing::Test {
protected:
    RemoteChkBarrierTest()
    {
        w.options.SetSendQuarantineMessage(false); // no challenge: no SMTP after the pass
        w.friends.AddAddress("ann@far.example");
    }

    // The account, pointed at the server.
    void AddAccount(std::uint16_t port)
    {
        TAccountPtr a = w.AddAccount(kAccount, {kOwn});
        TAccountValues v = a->Snapshot();
        v.Incoming.Server = "127.0.0.1";
        v.Incoming.Port = port;
        v.Incoming.UserName = "u";
        v.Incoming.Password = "p";
        a->SetValues(v);
    }

    static std::vector<FakePop3Server::Mail> Mails()
    {
        return {{"friend-1", Mail("ann@far.example", kOwn, "one", {"from a friend"})},
                {"stranger-1", Mail("bob@far.example", kOwn, "two", {"from a stranger"})},
                {"friend-2", Mail("ann@far.example", kOwn, "three", {"again"})}};
    }
    static bool AllFilesThere()
    {
        return std::filesystem::is_regular_file(MessageFilePath(kAccount, "friend-1", false)) &&
               std::filesystem::is_regular_file(MessageFilePath(kAccount, "stranger-1", true)) &&
               std::filesystem::is_regular_file(MessageFilePath(kAccount, "friend-2", false));
    }

    CheckWorld w;
};

TEST_F(RemoteChkBarrierTest, EveryFileOfThePassIsOnDiskBeforeTheFirstDele)
{
    int deles = 0;
    bool filesAtFirstDele = false;
    FakePop3Server server(Mails(), [&](const std::string& line, TcpConnection&) {
        if (line.rfind("DELE ", 0) == 0 && deles++ == 0)
            filesAtFirstDele = AllFilesThere();
        return Reaction::Default;
    });
    AddAccount(server.Port());
    ClassifierHarness h(w);

    h.classifier->CheckMail(false, nullptr);
    const auto lines = server.Finish();

    EXPECT_TRUE(filesAtFirstDele);
    EXPECT_EQ(deles, 3);
    EXPECT_EQ(lines.back(), "QUIT");
    EXPECT_TRUE(h.errors.empty()) << h.errors.front().Text;
    EXPECT_EQ(h.quarantined.size(), 1u);
}

TEST_F(RemoteChkBarrierTest, FailedBarrierIsReportedAndNoDeleIsSent)
{
    FakePop3Server server(Mails());
    AddAccount(server.Port());
    ClassifierHarness h(w);
    // The second friend's file vanishes after it was written: the barrier
    // cannot make it durable.
    const auto vanishing = MessageFilePath(kAccount, "friend-2", false);
    h.classifier->OnWhitelisted = [&](const std::string& uidl, const TKnownMessage&) {
        if (uidl == "friend-2")
            std::filesystem::remove(vanishing);
    };

    EXPECT_FALSE(h.classifier->CheckMail(false, nullptr));
    const auto lines = server.Finish();

    EXPECT_FALSE(FakePop3Server::Received(lines, "DELE")) << "the messages stay on the server";
    ASSERT_EQ(h.errors.size(), 1u);
    EXPECT_EQ(h.errors[0].Text, "Cannot sync " + vanishing.string() + ": No such file or directory");
    EXPECT_EQ(h.errors[0].Account, kAccount);
}

} // namespace
} // namespace bm::test
