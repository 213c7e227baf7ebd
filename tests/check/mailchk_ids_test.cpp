// The mailbox pass against the scripted POP3 server where real servers'
// habits used to hide or lose mail: UIDLs numbered 1, 2, 3 on every account,
// empty, repeated, over-long and colliding UIDLs, messages left on the
// server after a pass that ended before DELE, filters that cannot be
// compiled, connections cut after some bytes, and temporary login failures.
#include "tests/check/mailchk_fakepop3.h"
#include "tests/check/mailchk_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace bm::test {
namespace {

using Reaction = FakePop3Server::Reaction;

std::vector<FakePop3Server::Mail> Numbered(const std::string& tag, int count)
{
    std::vector<FakePop3Server::Mail> mails;
    for (int i = 1; i <= count; ++i)
        mails.push_back({std::to_string(i), MakeMail("pal@x.example", tag + std::to_string(i), "body " + tag)});
    return mails;
}

// What the classifier does with a friend's message: the inbox file, a copy
// of the entry in the inbox list, the server copy marked.
std::function<bool(const std::string&, TMailMessage&, TKnownMessage&)> DeliverAsFriend(CheckerHarness& h)
{
    return [&h](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        SaveMessageFile(e.Account(), uidl, false, m);
        h.inbox.Add(CloneKnownMessage(e));
        e.SetToBeDeleted(true);
        return true;
    };
}

TEST(MailChkIds, TwoAccountsWhoseServersNumberUidlsAlikeEachGetAllTheirMail)
{
    FakePop3Server first(Numbered("a", 3));
    FakePop3Server second(Numbered("b", 3));
    CheckerHarness h;
    h.AddAccount("First", "127.0.0.1", first.Port(), "u", "p");
    h.AddAccount("Second", "127.0.0.1", second.Port(), "u", "p");
    h.handler = DeliverAsFriend(h);

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();
    first.Finish();
    second.Finish();

    EXPECT_EQ(h.subjects, (std::vector<std::string>{"a1", "a2", "a3", "b1", "b2", "b3"}));
    EXPECT_TRUE(first.Mailbox().empty());
    EXPECT_TRUE(second.Mailbox().empty());
    for (const char* account : {"First", "Second"})
        EXPECT_TRUE(std::filesystem::exists(MessageFilePath(account, "3", false))) << account;
    ASSERT_NE(h.inbox.Find("Second", "2"), nullptr);
    EXPECT_EQ(h.inbox.Find("Second", "2")->Subject(), "b2");
}

// UIDLs that say nothing or too much of their message.
std::vector<FakePop3Server::Mail> OddUidls()
{
    const std::string longA = std::string(85, 'L') + "-a";
    const std::string longB = std::string(85, 'L') + "-b";
    return {{"", MakeMail("a@x.example", "empty-1", "one")},
            {"", MakeMail("a@x.example", "empty-2", "two")},
            {"same", MakeMail("a@x.example", "same-1", "three")},
            {"same", MakeMail("a@x.example", "same-2", "four")},
            {longA, MakeMail("a@x.example", "long-a", "five")},
            {longB, MakeMail("a@x.example", "long-b", "six")},
            {"a/b", MakeMail("a@x.example", "slash", "seven")},
            {"a:b", MakeMail("a@x.example", "colon", "eight")},
            {"plain", MakeMail("a@x.example", "plain", "nine")}};
}

TEST(MailChkIds, EveryOddUidlGetsAUniqueIdThatTheNextCheckRecognises)
{
    FakePop3Server server(OddUidls(), {}, "+OK ready", {"USER", "UIDL"}, 2);
    CheckerHarness h;
    h.AddAccount("Odd", "127.0.0.1", server.Port(), "u", "p");
    h.handler = [](const std::string&, TMailMessage&, TKnownMessage&) { return true; }; // left on the server

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();
    ASSERT_EQ(h.processed.size(), 9u) << "no message skipped";
    EXPECT_EQ(std::set<std::string>(h.processed.begin(), h.processed.end()).size(), 9u) << "ids of their own";
    for (const std::string& id : h.processed)
        EXPECT_LE(id.size(), kMessageIdLength) << id;
    EXPECT_EQ(h.processed.back(), "plain") << "an ordinary UIDL keeps its id";

    h.processed.clear();
    EXPECT_FALSE(h.CheckAll()) << h.ErrorTexts();
    server.Finish();
    EXPECT_TRUE(h.processed.empty()) << "the same ids at the next check: nothing met twice";
    EXPECT_EQ(h.inbox.Count(), 9);
}

TEST(MailChkIds, OddUidlsAreAllStoredAndDeleted)
{
    FakePop3Server server(OddUidls(), {}, "+OK ready", {"USER", "UIDL", "PIPELINING"});
    CheckerHarness h;
    h.AddAccount("OddDel", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_TRUE(h.CheckAll()) << h.ErrorTexts();
    server.Finish();

    EXPECT_EQ(h.subjects.size(), 9u);
    EXPECT_TRUE(server.Mailbox().empty()) << "each DELE reached the message it was meant for";
    EXPECT_EQ(h.deleted.size(), 9u);
}

TEST(MailChkIds, MessageStoredByAPassCutBeforeDeleIsDeletedNow)
{
    // The first session hangs up at the first DELE: everything was stored,
    // nothing deleted. The next check deletes what is stored whole.
    bool cut = true;
    FakePop3Server server(Numbered("m", 3), [&](const std::string& line, TcpConnection&) {
        if (cut && line.rfind("DELE", 0) == 0) {
            cut = false;
            return Reaction::Hangup;
        }
        return Reaction::Default;
    }, "+OK ready", {"USER", "UIDL"}, 2);
    CheckerHarness h;
    h.AddAccount("Cut", "127.0.0.1", server.Port(), "u", "p");
    h.handler = DeliverAsFriend(h);
    h.checker->OnIsStored = [](TAccount& a, const std::string& id) {
        return IsWholeMessageFile(MessageFilePath(a.Name(), id, false));
    };

    h.CheckAll();
    ASSERT_EQ(server.Mailbox().size(), 3u);
    ASSERT_EQ(h.inbox.Count(), 3);

    h.subjects.clear();
    h.CheckAll();
    server.Finish();

    EXPECT_TRUE(h.subjects.empty()) << "not retrieved again";
    EXPECT_TRUE(server.Mailbox().empty());
    EXPECT_EQ(h.inbox.Count(), 3) << "the records stay";
}

TEST(MailChkIds, InvalidFilterIsReportedOnceAndTheMailboxIsStillRetrieved)
{
    FakePop3Server server(Numbered("f", 3));
    CheckerHarness h;
    h.AddAccount("Filters", "127.0.0.1", server.Port(), "u", "p");
    auto bad = std::make_unique<TFilter>();
    bad->SetName("Broken");
    bad->SetDelete(true);
    bad->Rules().Add(TRuleField::Subject, TRuleOperation::ContainsRegExpr, "(f");
    h.filters.Add(std::move(bad));

    EXPECT_TRUE(h.CheckAll());
    server.Finish();

    EXPECT_EQ(h.subjects, (std::vector<std::string>{"f1", "f2", "f3"}));
    EXPECT_EQ(h.ErrorTexts(), "Filters: Filter \"Broken\" is disabled: Invalid regular expression \"(f\": "
                              "missing closing parenthesis at offset 2\n");
    for (const char* id : {"1", "2", "3"})
        EXPECT_TRUE(std::filesystem::exists(MessageFilePath("Filters", id, false))) << "not dropped by the bad filter";
}

TEST(MailChkIds, ConnectionClosedAfterSomeBytesSaysHowFarThePassGot)
{
    std::vector<FakePop3Server::Mail> mails;
    for (int i = 1; i <= 20; ++i)
        mails.push_back({"u" + std::to_string(i), MakeMail("a@x.example", "s" + std::to_string(i), std::string(1000, 'x'))});
    FakePop3Server server(mails);
    server.SetCloseAfterBytes(5000);
    CheckerHarness h;
    h.AddAccount("Closed", "127.0.0.1", server.Port(), "u", "p");

    EXPECT_FALSE(h.CheckAll());
    server.Finish();

    const std::size_t stored = h.subjects.size();
    ASSERT_GT(stored, 0u);
    ASSERT_LT(stored, 20u);
    ASSERT_EQ(h.errors.size(), 1u) << h.ErrorTexts();
    EXPECT_EQ(h.errors[0].Text, PassEndedText("The server closed the connection", static_cast<int>(stored) + 1,
                                              static_cast<int>(stored), 20));
    EXPECT_EQ(server.Mailbox().size(), 20u) << "a broken session commits nothing";
}

TEST(MailChkIds, MessageThatCannotBeStoredEndsThePassAndTheHandledAreDeleted)
{
    FakePop3Server server(Numbered("d", 4));
    CheckerHarness h;
    h.AddAccount("Full", "127.0.0.1", server.Port(), "u", "p");
    h.handler = [](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
        if (m.Subject == "d3")
            return false; // the handler reported "No space left on device"
        return CheckerHarness::StoreAndDelete(uidl, m, e);
    };

    EXPECT_TRUE(h.CheckAll());
    server.Finish();

    EXPECT_EQ(h.subjects, (std::vector<std::string>{"d1", "d2", "d3"})) << "no further retrieval";
    EXPECT_EQ(h.ErrorTexts(), "Full: " + PassEndedText("The message could not be stored", 3, 2, 4) + "\n");
    ASSERT_EQ(server.Mailbox().size(), 2u);
    EXPECT_EQ(server.Mailbox()[0].Uid, "3");
}

TEST(MailChkIds, TemporaryLoginFailureIsReportedAndTheCheckGoesOn)
{
    FakePop3Server locked(Numbered("l", 1));
    locked.SetPassReply("-ERR [IN-USE] Mailbox is locked by another POP3 session");
    FakePop3Server dropped(Numbered("x", 1), [](const std::string& line, TcpConnection&) {
        return line.rfind("PASS", 0) == 0 ? Reaction::Hangup : Reaction::Default;
    });
    FakePop3Server fine(Numbered("ok", 1));
    CheckerHarness h;
    h.AddAccount("Locked", "127.0.0.1", locked.Port(), "u", "p");
    h.AddAccount("Dropped", "127.0.0.1", dropped.Port(), "u", "p");
    h.AddAccount("Fine", "127.0.0.1", fine.Port(), "u", "p");

    EXPECT_TRUE(h.CheckAll());
    locked.Finish();
    dropped.Finish();
    fine.Finish();

    EXPECT_TRUE(h.prompts.empty()) << h.Describe();
    EXPECT_EQ(h.ErrorTexts(), "Locked: [IN-USE] Mailbox is locked by another POP3 session\n"
                              "Dropped: " + std::string(kClosedBeforeLogin) + "\n");
    EXPECT_EQ(h.subjects, std::vector<std::string>{"ok1"});
}

} // namespace
} // namespace bm::test
