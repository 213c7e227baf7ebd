// The status bar's and the tray hint's texts, and the check menus' entries.
#include "tests/app/services_support.h"

namespace bm::test {
namespace {

class StatusSvc : public ServiceTest {};
class StatusBeforeCheck : public AppCoreTest {};

TEST_F(StatusBeforeCheck, BeforeAnyCheckTheFirstLineSaysSoAlone)
{
    Create(); // the start-up check is armed, none has run
    const TStatusTexts t = core->Status().StatusTexts();
    EXPECT_EQ(t.FirstLine, "Mail hasn't been checked yet");
    EXPECT_EQ(t.SecondLine, "");
    EXPECT_EQ(t.TrayHint, t.FirstLine);
    EXPECT_EQ(t.InboxCount, "Inbox: 0");
}

TEST_F(StatusSvc, TextsFollowTheStatusTheLastCheckAndTheCounts)
{
    struct Case {
        const char* Name;
        std::string Status;
        std::string First, Second, Tray;
    };
    Deliver("a", RawMessage("ann@example.com", "s", "x"));
    Deliver("b", RawMessage("bob@example.com", "s", "x"));
    Quarantine("q", 0, RawMessage("spam@example.net", "s", "x"));
    const std::string counts = "Inbox: 2    Quarantine: 1";
    const Case cases[] = {
        {"status wins", "Connecting", "Connecting", "", "Connecting"},
        {"after a check", "", "Mail was last checked ", counts, "Mail was last checked "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_TRUE(core->CheckedOnce()) << "the start-up's inbox rebuild counts as a check";
        core->SetStatus(c.Status);
        const TStatusTexts t = core->Status().StatusTexts();
        EXPECT_EQ(t.FirstLine.substr(0, c.First.size()), c.First);
        EXPECT_EQ(t.SecondLine, c.Second);
        EXPECT_EQ(t.TrayHint.substr(0, c.Tray.size()), c.Tray);
        if (!c.Second.empty()) {
            EXPECT_EQ(t.TrayHint, t.FirstLine + "\n" + c.Second);
        }
        EXPECT_EQ(t.InboxCount, "Inbox: 2");
        EXPECT_EQ(t.QuarantineCount, "Quarantine: 1");
        EXPECT_EQ(t.LastChecked, core->LastCheckedText());
    }
}

TEST_F(StatusSvc, CheckMenuListsTheAccountsByNameAfterASeparator)
{
    accounts.Clear();
    auto captions = [this] {
        std::string text;
        for (const TCheckMenuEntry& e : core->Checks().CheckMenuEntries())
            text += (e.Kind == TCheckMenuKind::Separator ? std::string("-") : e.Caption) + "|";
        return text;
    };
    EXPECT_EQ(captions(), "&Default mail check|Check &all accounts|");
    AddAccount("beta");
    AddAccount("Alpha");
    AddAccount("alpha");
    EXPECT_EQ(captions(), "&Default mail check|Check &all accounts|-|Alpha|alpha|beta|");
    const auto entries = core->Checks().CheckMenuEntries();
    EXPECT_EQ(entries.back().Account, accounts.FindByName("beta"));
}

TEST_F(StatusSvc, CheckCommandsTellWhatToAskFirst)
{
    std::string question;
    EXPECT_EQ(core->Checks().CheckCommandProblem(true, question), TCheckProblem::None);
    accounts.FindByName(account)->Incoming().SetServer("");
    EXPECT_EQ(core->Checks().CheckCommandProblem(false, question), TCheckProblem::InvalidAccounts);
    EXPECT_EQ(question, "The following errors were found in your accounts:\r\n" + account +
                            ": No incoming (POP) server specified\r\nDo you want to edit your accounts now?");
    accounts.Clear();
    AddAccount("Other", "pop.example.com", "smtp.example.com", "joe", false);
    EXPECT_EQ(core->Checks().CheckCommandProblem(true, question), TCheckProblem::NoDefaultAccounts);
    accounts.Clear();
    EXPECT_EQ(core->Checks().CheckCommandProblem(true, question), TCheckProblem::NoAccounts);
    EXPECT_EQ(question, TCheckService::kAskAddAccounts);
}

TEST_F(StatusSvc, APerAccountEntryChecksThatAccountAloneWithoutDialling)
{
    const TAccountPtr a = accounts.FindByName(account);
    ASSERT_TRUE(core->Checks().CheckAccount(a));
    EXPECT_EQ(checker.Last().Request.Account, a);
    EXPECT_FALSE(checker.Last().Request.DefaultOnly);
    EXPECT_FALSE(core->Checks().MayCheck());
    EXPECT_FALSE(core->Checks().CheckMail(true)) << "one check at a time";
}

} // namespace
} // namespace bm::test
