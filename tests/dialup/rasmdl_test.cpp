// The dialler's logic against a scripted remote access service.
#include "dialup/rasmdl.h"

#include "core/errorsU.h"

#include <gtest/gtest.h>
#include <map>

namespace bm {
namespace {

// A phone book and a set of connections held in memory; records what the
// dialler asked for.
class FakeRas : public IRemoteAccessService {
public:
    struct Entry {
        std::string Name;
        std::string User;
        std::string Password;
        bool PasswordSaved = true;
        bool ParamsReadable = true;
    };
    std::vector<Entry> Book;
    std::vector<std::uint32_t> ConnectionStates; // one per active connection
    std::uint32_t EnumEntriesFailure = 0;        // a code other than 603
    std::uint32_t EnumConnectionsFailure = 0;
    std::uint32_t DialResult = kRasSuccess;
    TRasConnection DialHandle = 7;
    std::string ErrorText = "The remote computer did not respond.";

    std::vector<std::size_t> EntryRooms; // the room of each EnumEntries call
    std::vector<TRasDialParams> Dials;
    std::vector<TRasConnection> HangUps;

    std::uint32_t EnumEntries(std::size_t room, std::vector<std::string>& names, std::size_t& needed) override
    {
        EntryRooms.push_back(room);
        if (EnumEntriesFailure)
            return EnumEntriesFailure;
        needed = Book.size();
        if (room < Book.size())
            return kRasBufferTooSmall;
        for (const auto& e : Book)
            names.push_back(e.Name);
        return kRasSuccess;
    }
    std::uint32_t GetEntryDialParams(const std::string& entry, TRasDialParams& params, bool& saved) override
    {
        for (const auto& e : Book) {
            if (e.Name != entry)
                continue;
            if (!e.ParamsReadable)
                return 623;
            params = {e.Name, e.User, e.Password};
            saved = e.PasswordSaved;
            return kRasSuccess;
        }
        return 623;
    }
    std::uint32_t Dial(const TRasDialParams& params, TRasConnection& handle) override
    {
        Dials.push_back(params);
        handle = DialHandle;
        if (DialResult == kRasSuccess)
            ConnectionStates.push_back(kRasConnected);
        return DialResult;
    }
    std::uint32_t HangUp(TRasConnection handle) override
    {
        HangUps.push_back(handle);
        return kRasSuccess;
    }
    std::string ErrorString(std::uint32_t) override { return ErrorText; }
    std::uint32_t EnumConnections(std::size_t room, std::vector<TRasConnection>& connections) override
    {
        if (EnumConnectionsFailure)
            return EnumConnectionsFailure;
        for (std::size_t i = 0; i < ConnectionStates.size() && i < room; ++i)
            connections.push_back(i + 1);
        return kRasSuccess;
    }
    std::uint32_t GetConnectStatus(TRasConnection connection, std::uint32_t& state) override
    {
        state = ConnectionStates.at(connection - 1);
        return kRasSuccess;
    }
};

class DialupTest : public testing::Test {
protected:
    void SetUp() override { ErrorList().Clear(); }
    void TearDown() override { ErrorList().Clear(); }
    FakeRas ras;
};

TEST_F(DialupTest, EntriesAskAgainWithTheRoomTheServiceNeeds)
{
    ras.Book = {{"Work", "u", "p"}, {"Home", "u", "p"}, {"Backup", "u", "p"}};
    TRasDialer dialer(ras);
    EXPECT_EQ(dialer.Entries(), (std::vector<std::string> {"Work", "Home", "Backup"}));
    // Construction and the explicit call: each starts with room for one.
    EXPECT_EQ(ras.EntryRooms, (std::vector<std::size_t> {1, 3, 1, 3}));
}

TEST_F(DialupTest, OneEntryNeedsNoSecondCall)
{
    ras.Book = {{"Only", "u", "p"}};
    TRasDialer dialer(ras);
    EXPECT_EQ(dialer.Entries(), std::vector<std::string> {"Only"});
    EXPECT_EQ(ras.EntryRooms, (std::vector<std::size_t> {1, 1}));
}

TEST_F(DialupTest, OtherEnumerationFailureLeavesTheListEmpty)
{
    ras.Book = {{"Work", "u", "p"}};
    ras.EnumEntriesFailure = 610;
    TRasDialer dialer(ras);
    EXPECT_TRUE(dialer.Entries().empty());
}

struct SelectCase {
    const char* name;
    FakeRas::Entry entry;
    const char* select;
    const char* error; // nullptr: selected
    const char* user;
    const char* password;
};

void PrintTo(const SelectCase& c, std::ostream* os)
{
    *os << c.name;
}

class SelectEntryTest : public testing::TestWithParam<SelectCase> {};

TEST_P(SelectEntryTest, ReadsTheStoredParameters)
{
    const SelectCase& c = GetParam();
    FakeRas ras;
    ras.Book = {c.entry};
    TRasDialer dialer(ras);
    if (c.error) {
        try {
            dialer.SelectEntry(c.select);
            FAIL() << "no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    } else {
        EXPECT_NO_THROW(dialer.SelectEntry(c.select));
        EXPECT_EQ(dialer.EntryName(), c.select);
    }
    EXPECT_EQ(dialer.UserName(), c.user);
    EXPECT_EQ(dialer.Password(), c.password);
}

INSTANTIATE_TEST_SUITE_P(
    Dialer, SelectEntryTest,
    testing::Values(
        SelectCase {"stored", {"Work", "joe", "secret"}, "Work", nullptr, "joe", "secret"},
        SelectCase {"password_not_saved", {"Work", "joe", "secret", false}, "Work", nullptr, "joe", ""},
        SelectCase {"unknown_entry", {"Work", "joe", "secret"}, "Home", "Entry not found!", "", ""},
        SelectCase {"entry_names_are_exact", {"Work", "joe", "secret"}, "work", "Entry not found!", "", ""},
        SelectCase {"parameters_unreadable", {"Work", "joe", "secret", true, false}, "Work",
                    "No entry selected!", "", ""}),
    [](const testing::TestParamInfo<SelectCase>& info) { return info.param.name; });

TEST_F(DialupTest, DialReportsStatusAndConnects)
{
    ras.Book = {{"Work", "joe", "secret"}};
    TRasDialer dialer(ras);
    std::vector<std::string> status;
    int connected = 0;
    dialer.OnDialStatus = [&](TRasDialer&, const std::string& t) { status.push_back(t); };
    dialer.OnConnected = [&](TRasDialer&) { ++connected; };
    dialer.SelectEntry("Work");
    EXPECT_EQ(dialer.Dial(), kRasSuccess);
    EXPECT_EQ(status, (std::vector<std::string> {"Dialing", "Connected"}));
    EXPECT_EQ(connected, 1);
    ASSERT_EQ(ras.Dials.size(), 1u);
    EXPECT_EQ(ras.Dials[0].UserName, "joe");
    EXPECT_EQ(ras.Dials[0].Password, "secret");
    EXPECT_TRUE(ras.HangUps.empty()); // the connection stays up
    EXPECT_EQ(dialer.ConnectedCount(), 1);
}

TEST_F(DialupTest, FailedDialHangsUpAndPassesAShortenedText)
{
    ras.Book = {{"Work", "joe", "secret"}};
    ras.DialResult = 678;
    ras.ErrorText = std::string(95, 'x') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    TRasDialer dialer(ras);
    std::string text;
    std::uint32_t code = 0;
    dialer.OnError = [&](TRasDialer&, const std::string& t, std::uint32_t c) {
        text = t;
        code = c;
    };
    dialer.SelectEntry("Work");
    EXPECT_EQ(dialer.Dial(), 678u);
    EXPECT_EQ(code, 678u);
    // 100 characters: 95 ASCII and 5 two-byte ones, none cut in half.
    EXPECT_EQ(text, std::string(95, 'x') + "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9");
    EXPECT_EQ(ras.HangUps, std::vector<TRasConnection> {7});
    EXPECT_EQ(dialer.ConnectedCount(), 0);
}

TEST_F(DialupTest, DialWithoutHandleHangsNothingUp)
{
    ras.Book = {{"Work", "joe", "secret"}};
    ras.DialResult = 678;
    ras.DialHandle = 0;
    TRasDialer dialer(ras);
    dialer.SelectEntry("Work");
    dialer.Dial();
    EXPECT_TRUE(ras.HangUps.empty());
}

TEST_F(DialupTest, DialNeedsEntryUserAndPassword)
{
    for (FakeRas::Entry entry : {FakeRas::Entry {"Work", "", "secret"}, FakeRas::Entry {"Work", "joe", "secret", false}}) {
        FakeRas ras;
        ras.Book = {entry};
        TRasDialer dialer(ras);
        dialer.SelectEntry("Work");
        try {
            dialer.Dial();
            FAIL() << "dialled";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "You must setup entry, username and password before dialing!");
        }
        EXPECT_TRUE(ras.Dials.empty());
    }
    TRasDialer none(ras);
    EXPECT_THROW(none.Dial(), std::runtime_error);
}

TEST_F(DialupTest, ConnectedCountCountsOnlyConnectedStates)
{
    ras.ConnectionStates = {kRasConnected, 1, kRasConnected, 0x2000 + 1};
    TRasDialer dialer(ras);
    EXPECT_EQ(dialer.ConnectedCount(), 2);
    ras.EnumConnectionsFailure = 632;
    EXPECT_EQ(dialer.ConnectedCount(), 0);
}

TEST_F(DialupTest, ManagerDialsTheFirstEntry)
{
    ras.Book = {{"First", "a", "1"}, {"Second", "b", "2"}};
    TRASManager manager(&ras);
    std::vector<std::string> status;
    manager.OnStatus = [&](TRASManager&, const std::string& t) { status.push_back(t); };
    EXPECT_TRUE(manager.DialFirstEntry());
    ASSERT_EQ(ras.Dials.size(), 1u);
    EXPECT_EQ(ras.Dials[0].EntryName, "First");
    EXPECT_EQ(status, std::vector<std::string> {"Dialing up First"});
    EXPECT_TRUE(manager.IsConnected());
    EXPECT_EQ(ErrorList().Count(), 0u);
}

TEST_F(DialupTest, ManagerWithEmptyPhoneBookIsFalseWithoutMessage)
{
    TRASManager manager(&ras);
    EXPECT_FALSE(manager.HasEntries());
    EXPECT_FALSE(manager.DialFirstEntry());
    EXPECT_TRUE(ras.Dials.empty());
    EXPECT_EQ(ErrorList().Count(), 0u);
}

TEST_F(DialupTest, ManagerReportsSetupErrorsUnderGeneral)
{
    ras.Book = {{"First", "a", "1", false}};
    TRASManager manager(&ras);
    EXPECT_FALSE(manager.DialFirstEntry());
    ASSERT_EQ(ErrorList().Count(), 1u);
    EXPECT_EQ(ErrorList().Item(0).Account, "General");
    EXPECT_EQ(ErrorList().Item(0).Message, "You must setup entry, username and password before dialing!");
}

TEST_F(DialupTest, ManagerFailedDialIsSilentAndNotConnected)
{
    ras.Book = {{"First", "a", "1"}};
    ras.DialResult = 678;
    TRASManager manager(&ras);
    EXPECT_FALSE(manager.DialFirstEntry());
    EXPECT_EQ(ErrorList().Count(), 0u);
}

TEST_F(DialupTest, ManagerWithConnectionAlreadyUpIsTrue)
{
    ras.Book = {{"First", "a", "1"}};
    ras.DialResult = 678; // the entry is busy: the existing connection counts
    ras.ConnectionStates = {kRasConnected};
    TRASManager manager(&ras);
    EXPECT_TRUE(manager.DialFirstEntry());
}

TEST_F(DialupTest, ThisPlatformHasNoRemoteAccessService)
{
    TRASManager manager;
    EXPECT_FALSE(manager.HasEntries());
    EXPECT_FALSE(manager.DialFirstEntry());
    EXPECT_FALSE(manager.IsConnected());
    EXPECT_EQ(ErrorList().Count(), 0u);
}

TEST_F(DialupTest, AsynchronousDiallersExcludeEachOther)
{
    // The second dialler asks while the first one's dial is in progress.
    class ReentrantRas : public FakeRas {
    public:
        std::function<void()> DuringDial;
        std::uint32_t Dial(const TRasDialParams& p, TRasConnection& h) override
        {
            // Taken out first: it runs once, and may not free itself.
            auto during = std::move(DuringDial);
            DuringDial = nullptr;
            if (during)
                during();
            return FakeRas::Dial(p, h);
        }
    } ras;
    ras.Book = {{"Work", "joe", "secret"}};
    TRasDialer first(ras), second(ras);
    first.DialMode = second.DialMode = TDialMode::Asynchronous;
    first.SelectEntry("Work");
    second.SelectEntry("Work");
    std::string refused;
    ras.DuringDial = [&] {
        try {
            second.Dial();
        } catch (const std::runtime_error& e) {
            refused = e.what();
        }
    };
    EXPECT_EQ(first.Dial(), kRasSuccess);
    EXPECT_EQ(refused, "Only one component can dial at a time!");
    EXPECT_EQ(second.Dial(), kRasSuccess); // the first one is done
}

} // namespace
} // namespace bm
