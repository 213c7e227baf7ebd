// What the application core keeps and publishes from the checker's events,
// the quarantine loader and the local servers, and the requests of another
// copy.
#include "tests/app/appcore_support.h"

#include "app/securitymdl.h"
#include "net/socketU.h"
#include "servers/pop3srvthdU.h"
#include "servers/smtpsrvthdU.h"
#include "store/cleaningmdl.h"
#include "store/knownmsgU.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

namespace bm::test {
namespace {

using namespace std::chrono_literals;

// Processes events until done() holds; false when it never did.
bool ProcessUntil(const std::function<bool()>& done)
{
    QDeadlineTimer deadline(30000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
    return done();
}

std::unique_ptr<TKnownMessage> Entry(const std::string& id, const std::string& account, bool knownBefore)
{
    auto e = std::make_unique<TKnownMessage>();
    e->SetId(id);
    e->SetAccount(account);
    e->SetFrom("Ann <ann@example.com>");
    e->SetSubject("Hello");
    e->SetSize(2048);
    e->SetSizeText("2.00kb");
    e->SetKnownBefore(knownBefore);
    return e;
}

TTrashRow Quarantined(int id)
{
    TTrashRow r;
    r.ID = id;
    r.From = "spam@example.net";
    r.Account = "Home";
    r.UIDL = "q" + std::to_string(id);
    return r;
}

// The running state with a sound file to play: start-up check finished.
class CheckEventsTest : public AppCoreTest {
protected:
    std::vector<std::filesystem::path> sounds;
    std::vector<std::string> added, removed;

    void SetUp() override
    {
        WriteFileBytes(dir.path() / "new.wav", "RIFF");
        options.SetSoundFile((dir.path() / "new.wav").string());
        AddAccount("Home");
        Create();
        QObject::connect(core.get(), &TAppCore::PlaySound,
                         [this](const std::filesystem::path& f) { sounds.push_back(f); });
        QObject::connect(core.get(), &TAppCore::InboxRowAdded, [this](const TInboxRow& r) { added.push_back(r.Id); });
        QObject::connect(core.get(), &TAppCore::InboxRowRemoved,
                         [this](const TInboxRow& r) { removed.push_back(r.Id); });
    }
    FakeCheck& Check()
    {
        core->StartMailCheck(true, false);
        return checker.Last();
    }
};

TEST_F(CheckEventsTest, NoSoundDuringTheFirstCheckAfterStartUp)
{
    core->StartupMailCheckerTimer();
    auto e = Entry("m1", "Home", false);
    checker.Last().Events.OnNewMessage("m1", *e);
    checker.Last().Finish();
    EXPECT_TRUE(sounds.empty());
    ASSERT_EQ(core->InboxRows().size(), 1u);
    EXPECT_EQ(core->InboxRows()[0].From, "Ann <ann@example.com>");
    EXPECT_EQ(core->InboxRows()[0].SizeText, "2.00kb");
}

TEST_F(CheckEventsTest, SoundOncePerCheckAndNeverForRestoredMessages)
{
    core->StartupMailCheckerTimer();
    checker.Last().Finish();
    auto known = Entry("old", "Home", true), n1 = Entry("n1", "Home", false), n2 = Entry("n2", "Home", false);
    FakeCheck& first = Check();
    first.Events.OnNewMessage("old", *known);
    EXPECT_TRUE(sounds.empty());
    first.Events.OnNewMessage("n1", *n1);
    first.Events.OnNewMessage("n2", *n2);
    EXPECT_EQ(sounds.size(), 1u);
    first.Finish();
    auto n3 = Entry("n3", "Home", false);
    Check().Events.OnNewMessage("n3", *n3);
    EXPECT_EQ(sounds.size(), 2u);
    EXPECT_EQ(added, (std::vector<std::string> {"old", "n1", "n2", "n3"}));

    options.SetPlaySound(false);
    checker.Last().Finish();
    auto n4 = Entry("n4", "Home", false);
    Check().Events.OnNewMessage("n4", *n4);
    EXPECT_EQ(sounds.size(), 2u);
}

TEST_F(CheckEventsTest, MessageAnnouncedAgainKeepsOneRow)
{
    auto e = Entry("m1", "Home", true);
    FakeCheck& run = Check();
    run.Events.OnNewMessage("m1", *e);
    run.Events.OnNewMessage("m1", *e);
    EXPECT_EQ(core->InboxRows().size(), 1u);
}

TEST_F(CheckEventsTest, DeletedMessagesLeaveTheInbox)
{
    auto a = Entry("m1", "Home", true), b = Entry("m1", "Work", true);
    FakeCheck& run = Check();
    run.Events.OnNewMessage("m1", *a);
    run.Events.OnNewMessage("m1", *b);
    run.Events.OnMessageDeleted("m1", nullptr); // new in the pass: no row
    EXPECT_EQ(core->InboxRows().size(), 2u);
    run.Events.OnMessageDeleted("m1", b.get()); // same UIDL, that account only
    ASSERT_EQ(core->InboxRows().size(), 1u);
    EXPECT_EQ(core->InboxRows()[0].Account, "Home");
    EXPECT_EQ(removed, std::vector<std::string> {"m1"});
}

TEST_F(CheckEventsTest, QuarantineRowsArriveAfterTheCheckFinished)
{
    ASSERT_TRUE(ProcessUntil([&] { return core->QuarantineLoaded(); }));
    std::vector<std::string> order;
    QObject::connect(core.get(), &TAppCore::CheckFinished, [&](bool) { order.push_back("finished"); });
    QObject::connect(core.get(), &TAppCore::QuarantineRowsAdded, [&](const std::vector<TTrashRow>& rows) {
        order.push_back("rows " + std::to_string(rows.size()));
    });
    std::vector<int> gone;
    QObject::connect(core.get(), &TAppCore::QuarantineRowRemoved, [&](int id) { gone.push_back(id); });
    FakeCheck& run = Check();
    run.Finish({Quarantined(3), Quarantined(4)});
    EXPECT_EQ(order, (std::vector<std::string> {"finished", "rows 2"}));
    ASSERT_EQ(core->QuarantineRows().size(), 2u);

    // A key reply released one; the cleaner removes the other.
    Check().Events.OnQuarantineRemoved(3);
    checker.Last().Finish();
    ASSERT_EQ(core->QuarantineRows().size(), 1u);
    EXPECT_EQ(core->QuarantineRows()[0].ID, 4);
    TAppCoreTestAccess::Cleaner(*core)->OnMessageDeleted(*TAppCoreTestAccess::Cleaner(*core), 4);
    EXPECT_TRUE(core->QuarantineRows().empty());
    TAppCoreTestAccess::Cleaner(*core)->OnMessageDeleted(*TAppCoreTestAccess::Cleaner(*core), 99); // no such row
    EXPECT_EQ(gone, (std::vector<int> {3, 4, 99}));
}

TEST_F(CheckEventsTest, AddressesReachTheViewsInLowerCase)
{
    std::vector<std::string> friendsAdded, blacklisted;
    QObject::connect(core.get(), &TAppCore::AddressWhitelisted,
                     [&](const std::string& a) { friendsAdded.push_back(a); });
    QObject::connect(core.get(), &TAppCore::SenderBlacklisted, [&](const std::string& a) { blacklisted.push_back(a); });
    Check().Events.OnAddressWhitelisted("Ann@Example.COM");
    TAppCoreTestAccess::Cleaner(*core)->OnSenderBlacklisted(*TAppCoreTestAccess::Cleaner(*core), "Spam@Example.NET");
    EXPECT_EQ(friendsAdded, std::vector<std::string> {"ann@example.com"});
    EXPECT_EQ(blacklisted, std::vector<std::string> {"spam@example.net"});
}

TEST_F(CheckEventsTest, StatusOfTheCheckIsShownAndEmptiedAtTheEnd)
{
    std::vector<std::string> texts;
    QObject::connect(core.get(), &TAppCore::StatusChanged, [&](const std::string& t) { texts.push_back(t); });
    FakeCheck& run = Check();
    run.Events.OnStatus("Connecting to pop.example.com");
    EXPECT_EQ(core->StatusText(), "Connecting to pop.example.com");
    run.Finish();
    EXPECT_EQ(core->StatusText(), "");
    EXPECT_EQ(texts, (std::vector<std::string> {"", "Connecting to pop.example.com", ""}));
}

TEST_F(CheckEventsTest, EventsOfAnEndedCheckAreDropped)
{
    FakeCheck& old = Check();
    old.Finish();
    auto e = Entry("late", "Home", false);
    old.Events.OnNewMessage("late", *e);
    old.Events.OnFinished();
    EXPECT_TRUE(core->InboxRows().empty());
    EXPECT_FALSE(core->Checking());
}

TEST_F(AppCoreTest, SideBarAndQuarantineAreFilledAtStartUp)
{
    friends.Add("ann@example.com");
    blacklist.Add("spam@example.net", false);
    auto f = std::make_unique<TFilter>();
    f->SetName("Newsletters");
    filters.Add(std::move(f));
    MakeCore(Settings());
    int filled = 0;
    std::vector<std::string> status;
    QObject::connect(core.get(), &TAppCore::SideBarFilled, [&] { ++filled; });
    QObject::connect(core.get(), &TAppCore::StatusChanged, [&](const std::string& t) { status.push_back(t); });
    core->Create();
    StopCleanerTimer();
    EXPECT_EQ(filled, 1);
    ASSERT_EQ(core->SideBar().Friends.size(), 1u);
    EXPECT_EQ(core->SideBar().Friends[0].Text, "ann@example.com");
    ASSERT_EQ(core->SideBar().Blacklist.size(), 1u);
    EXPECT_FALSE(core->SideBar().Blacklist[0].Enabled);
    ASSERT_EQ(core->SideBar().Filters.size(), 1u);
    EXPECT_EQ(core->SideBar().Filters[0].Text, "Newsletters");
    ASSERT_TRUE(ProcessUntil([&] { return core->QuarantineLoaded(); }));
    EXPECT_EQ(status, (std::vector<std::string> {"Starting up", "", "Loading quarantine messages", ""}));
}

// The program's own checker thread behind the core: a local-only pass over
// no accounts finishes, and the core sees its thread end.
TEST_F(AppCoreTest, ProgramCheckerThreadFinishesAndEnds)
{
    options.SetCheckOnStartup(false);
    auto s = Settings();
    s.StartChecker = nullptr;
    MakeCore(std::move(s));
    bool finished = false;
    QObject::connect(core.get(), &TAppCore::CheckFinished, [&](bool) { finished = true; });
    core->Create();
    StopCleanerTimer();
    ASSERT_TRUE(core->Checking());
    ASSERT_TRUE(ProcessUntil([&] { return !core->Checking(); }));
    EXPECT_TRUE(finished);
    EXPECT_TRUE(core->CheckedOnce());
    core->RefreshInbox(); // the next one starts: the running-check reference was cleared
    EXPECT_TRUE(core->Checking());
    ASSERT_TRUE(ProcessUntil([&] { return !core->Checking(); }));
}

// --- The local servers ----------------------------------------------------------------

TEST_F(AppCoreTest, ChoosesFreePortsAndServesUntilShutdown)
{
    auto s = Settings();
    s.StartServers = true;
    std::vector<std::string> listening;
    MakeCore(std::move(s));
    QObject::connect(core.get(), &TAppCore::ServerStarted, [&](const std::string& t) { listening.push_back(t); });
    core->Create();
    StopCleanerTimer();
    ASSERT_NE(TAppCoreTestAccess::POP3Server(*core), nullptr);
    ASSERT_NE(TAppCoreTestAccess::SMTPServer(*core), nullptr);
    EXPECT_GE(options.POP3Port(), 11000);
    EXPECT_NE(options.POP3PortSSL(), options.POP3Port());
    EXPECT_GE(options.SMTPPort(), 2525);
    EXPECT_EQ(TAppCoreTestAccess::POP3Server(*core)->PlainPort(), options.POP3Port());
    EXPECT_EQ(TAppCoreTestAccess::SMTPServer(*core)->TlsPort(), options.SMTPPortSSL());
    // Saved where the settings said.
    TOptions saved;
    saved.LoadFromFile(dir.path() / "options.ini");
    EXPECT_EQ(saved.POP3Port(), options.POP3Port());
    EXPECT_EQ(saved.SMTPPortSSL(), options.SMTPPortSSL());
    ASSERT_EQ(listening.size(), 2u);
    EXPECT_EQ(listening[0].rfind("Local SMTP server listening on 127.0.0.1", 0), 0u) << listening[0];
    EXPECT_EQ(listening[1].rfind("Local POP3 server listening on 127.0.0.1", 0), 0u) << listening[1];

    const auto pop3 = static_cast<uint16_t>(options.POP3Port());
    core->Shutdown();
    EXPECT_EQ(TAppCoreTestAccess::POP3Server(*core), nullptr);
    EXPECT_EQ(releases, 1);
    EXPECT_TRUE(TestPort(pop3)); // the port is free again
}

TEST_F(AppCoreTest, ServerPortInUseIsReportedAndStartUpGoesOn)
{
    TcpListener busy(0);
    options.SetPOP3Port(busy.Port());
    options.SetPOP3PortSSL(busy.Port() == 65535 ? 65534 : busy.Port() + 1);
    auto s = Settings();
    s.StartServers = true;
    MakeCore(std::move(s));
    std::vector<std::string> errors;
    QObject::connect(core.get(), &TAppCore::StartupError, [&](const std::string& t) { errors.push_back(t); });
    core->Create();
    StopCleanerTimer();
    // Ports the options name are not chosen again: the POP3 server stays off.
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(options.POP3Port(), busy.Port());
    EXPECT_EQ(TAppCoreTestAccess::POP3Server(*core), nullptr);
    EXPECT_NE(TAppCoreTestAccess::SMTPServer(*core), nullptr); // chosen in this run
    EXPECT_NE(TAppCoreTestAccess::Cleaner(*core), nullptr);
    EXPECT_TRUE(TAppCoreTestAccess::StartupMailChecker(*core).isActive());
}

// --- Another copy ----------------------------------------------------------------------

TEST_F(AppCoreTest, SecondCopyWakesTheCoreAndUninstallClosesIt)
{
    std::filesystem::create_directories(dir.path() / "run");
    TSecurity security(dir.path() / "run");
    ASSERT_TRUE(security.OnceOnly.IsFirstInstance(std::chrono::milliseconds(0)));
    auto s = Settings();
    s.ReleaseInstance = [&] { security.OnceOnly.Release(); };
    MakeCore(std::move(s));
    int shown = 0;
    QObject::connect(core.get(), &TAppCore::ShowRequested, [&] { ++shown; });
    security.OnceOnly.OnShowRequest = [&] { core->ShowRequest(); };
    security.OnceOnly.OnCloseRequest = [&] { core->CloseRequest(); };
    core->Create();
    StopCleanerTimer();

    TInstanceGuard second("BrixmoorMutex", dir.path() / "run");
    EXPECT_FALSE(second.IsFirstInstance(std::chrono::milliseconds(0)));
    EXPECT_TRUE(second.SignalShow());
    ASSERT_TRUE(ProcessUntil([&] { return shown == 1; }));

    EXPECT_TRUE(second.SignalClose());
    ASSERT_TRUE(ProcessUntil([&] { return closes == 1; }));
    EXPECT_TRUE(core->CloseAllowed());
    core->Shutdown();
    EXPECT_FALSE(second.IsAnotherRunning(std::chrono::milliseconds(0)));
}

} // namespace
} // namespace bm::test
