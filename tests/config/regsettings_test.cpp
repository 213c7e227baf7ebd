// Registry-backed settings: mapping, load once, write-through, the Binary
// size companion and the stored list layout.
#include "config/regsettingsU.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "core/streamU.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::TempDir;

const std::string kState = "\\SOFTWARE\\Veldhaven\\Brixmoor 2.0\\State";

// The program's store and a second one on the same files (another copy of
// the program) to look behind the items' backs.
class RegSettingsTest : public testing::Test {
protected:
    RegSettingsTest() : store_(dir_.path()), other_(dir_.path()), settings_(&store_)
    {
        settings_.RegRoot = TRegRoot::CurrentUser;
        settings_.Company = "Veldhaven";
        settings_.App = "Brixmoor 2.0";
    }
    TempDir dir_;
    TRegistryStore store_;
    TRegistryStore other_;
    RegistrySettings settings_;
};

TEST_F(RegSettingsTest, KeyPathAndHive)
{
    EXPECT_EQ(settings_.KeyPath("State"), kState);
    EXPECT_EQ(settings_.KeyPath("State\\Lists"), kState + "\\Lists");
    EXPECT_EQ(settings_.Hive(), THive::CurrentUser);
    RegistrySettings machine(&store_);
    EXPECT_EQ(machine.RegRoot, TRegRoot::LocalMachine);
    EXPECT_EQ(machine.Prefix, "\\SOFTWARE\\");
    EXPECT_EQ(machine.Hive(), THive::LocalMachine);
    EXPECT_FALSE(machine.AutoSave);
    UseProductKey(machine, TRegRoot::LocalMachine);
    EXPECT_EQ(machine.KeyPath("State"), kState);
    EXPECT_EQ(machine.Hive(), THive::LocalMachine);
}

TEST_F(RegSettingsTest, MissingValuesGiveDefaultsAndCreateTheKey)
{
    TIntegerSetting width(settings_, "State", "FriendsWidth", 250);
    TBooleanSetting viewFriends(settings_, "State", "ViewFriends", true);
    TBooleanSetting closeMsg(settings_, "State", "ShowCloseMsg");
    TStringSetting folder(settings_, "Settings", "SaveAttachmentsIn");
    TDateTimeSetting lastClean(settings_, "State", "LastClean");
    TBinarySetting inbox(settings_, "State\\Lists", "Inbox");
    EXPECT_FALSE(width.Loaded());
    EXPECT_EQ(width.Get(), 250);
    EXPECT_TRUE(width.Loaded());
    EXPECT_TRUE(viewFriends.Get());
    EXPECT_FALSE(closeMsg.Get());
    EXPECT_EQ(folder.Get(), "");
    EXPECT_EQ(lastClean.Get(), 0.0);
    EXPECT_EQ(inbox.Get(), "");
    EXPECT_TRUE(other_.KeyExists(THive::CurrentUser, kState + "\\Lists"));
    EXPECT_TRUE(other_.KeyExists(THive::CurrentUser, "SOFTWARE\\Veldhaven\\Brixmoor 2.0\\Settings"));
    EXPECT_EQ(settings_.Items().size(), 6u);
}

TEST_F(RegSettingsTest, SetWritesThroughAtOnceInTheValueTypes)
{
    TIntegerSetting width(settings_, "State", "FriendsWidth", 250);
    TBooleanSetting firstRun(settings_, "State", "FirstRun", true);
    TStringSetting folder(settings_, "Settings", "SaveAttachmentsIn");
    TDateTimeSetting lastClean(settings_, "State", "LastClean");
    width.Set(-7);
    firstRun.Set(false);
    folder.Set("/home/u/Downloads");
    lastClean.Set(46000.75);
    EXPECT_EQ(other_.ReadInteger(THive::CurrentUser, kState, "FriendsWidth"), 0xFFFFFFF9u);
    EXPECT_EQ(other_.ReadInteger(THive::CurrentUser, kState, "FirstRun"), 0u);
    EXPECT_EQ(other_.ReadString(THive::CurrentUser, "SOFTWARE\\Veldhaven\\Brixmoor 2.0\\Settings",
                                "SaveAttachmentsIn"),
              "/home/u/Downloads");
    const std::optional<std::string> bytes = other_.ReadBinary(THive::CurrentUser, kState, "LastClean");
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), 8u);
    double stored = 0;
    std::memcpy(&stored, bytes->data(), 8);
    EXPECT_EQ(stored, 46000.75);

    TIntegerSetting widthAgain(settings_, "State", "FriendsWidth", 250);
    EXPECT_EQ(widthAgain.Get(), -7);
}

TEST_F(RegSettingsTest, ReadTwiceTouchesTheRegistryOnce)
{
    other_.WriteInteger(THive::CurrentUser, kState, "FriendsWidth", 300);
    TIntegerSetting width(settings_, "State", "FriendsWidth", 250);
    EXPECT_EQ(width.Get(), 300);
    other_.WriteInteger(THive::CurrentUser, kState, "FriendsWidth", 400);
    EXPECT_EQ(width.Get(), 300);
    width.Load();
    EXPECT_EQ(width.Get(), 400);
}

TEST_F(RegSettingsTest, SettingTheCachedValueWritesNothing)
{
    TStringSetting folder(settings_, "Settings", "SaveAttachmentsIn");
    folder.Set("/a");
    other_.WriteString(THive::CurrentUser, "SOFTWARE\\Veldhaven\\Brixmoor 2.0\\Settings", "SaveAttachmentsIn", "/b");
    folder.Set("/a");
    EXPECT_EQ(other_.ReadString(THive::CurrentUser, "SOFTWARE\\Veldhaven\\Brixmoor 2.0\\Settings",
                                "SaveAttachmentsIn"),
              "/b");
    folder.Set("/c");
    EXPECT_EQ(other_.ReadString(THive::CurrentUser, "SOFTWARE\\Veldhaven\\Brixmoor 2.0\\Settings",
                                "SaveAttachmentsIn"),
              "/c");
}

struct BooleanCase {
    const char* Name;
    std::optional<std::uint32_t> Stored;
    bool Expected;
};

TEST_F(RegSettingsTest, BooleanReadsAnyNonZeroAsTrue)
{
    const BooleanCase cases[] = {{"Missing", std::nullopt, true}, {"Zero", 0u, false}, {"One", 1u, true},
                                 {"Seven", 7u, true},             {"High", 0x80000000u, true}};
    for (const BooleanCase& c : cases) {
        other_.DeleteValue(THive::CurrentUser, kState, "ViewFriends");
        if (c.Stored)
            other_.WriteInteger(THive::CurrentUser, kState, "ViewFriends", *c.Stored);
        TBooleanSetting b(settings_, "State", "ViewFriends", true);
        EXPECT_EQ(b.Get(), c.Expected) << c.Name;
    }
}

TEST_F(RegSettingsTest, ValueOfAnotherKindReadsAsDefault)
{
    other_.WriteString(THive::CurrentUser, kState, "FriendsWidth", "wide");
    other_.WriteInteger(THive::CurrentUser, kState, "LastClean", 5);
    TIntegerSetting width(settings_, "State", "FriendsWidth", 250);
    TDateTimeSetting lastClean(settings_, "State", "LastClean", 1.5);
    EXPECT_EQ(width.Get(), 250);
    EXPECT_EQ(lastClean.Get(), 1.5);
}

struct BoolTextCase {
    const char* Text;
    bool Expected;
};

TEST_F(RegSettingsTest, BooleanTextConversions)
{
    TBooleanSetting b(settings_, "State", "FirstRun", false);
    const BoolTextCase cases[] = {{"True", true}, {"yes", true},  {"T", true},  {"y", true}, {"False", false},
                                  {"no", false},  {"1", false},   {"", false},  {" true", false}};
    for (const BoolTextCase& c : cases) {
        b.SetAsText(c.Text);
        EXPECT_EQ(b.Get(), c.Expected) << c.Text;
        EXPECT_EQ(b.AsText(), c.Expected ? "True" : "False");
        EXPECT_EQ(b.AsInteger(), c.Expected ? 1 : 0);
    }
}

TEST_F(RegSettingsTest, BinaryWritesItsSizeCompanion)
{
    TBinarySetting inbox(settings_, "State\\Lists", "Inbox");
    const std::string bytes("\x01\x00\x02\xFF", 4);
    inbox.Set(bytes);
    EXPECT_EQ(other_.ReadBinary(THive::CurrentUser, kState + "\\Lists", "Inbox"), bytes);
    EXPECT_EQ(other_.ReadInteger(THive::CurrentUser, kState + "\\Lists", "Inbox__SIZE__"), 4u);
    TBinarySetting again(settings_, "State\\Lists", "Inbox");
    EXPECT_EQ(again.Get(), bytes);
}

struct BinaryCase {
    const char* Name;
    std::optional<std::string> Data;
    std::optional<std::uint32_t> Size;
    std::string Expected;
};

TEST_F(RegSettingsTest, BinaryReadRules)
{
    const BinaryCase cases[] = {
        {"DataWithoutSize", std::string("abc"), std::nullopt, ""},
        {"SizeWithoutData", std::nullopt, 3u, ""},
        {"SizeBelowData", std::string("abcdef"), 2u, "ab"},
        {"SizeBeyondData", std::string("abc"), 99u, "abc"},
        {"Both", std::string("abc"), 3u, "abc"},
    };
    const std::string key = kState + "\\Lists";
    for (const BinaryCase& c : cases) {
        other_.DeleteValue(THive::CurrentUser, key, "Quarantine");
        other_.DeleteValue(THive::CurrentUser, key, "Quarantine__SIZE__");
        if (c.Data)
            other_.WriteBinary(THive::CurrentUser, key, "Quarantine", *c.Data);
        if (c.Size)
            other_.WriteInteger(THive::CurrentUser, key, "Quarantine__SIZE__", *c.Size);
        TBinarySetting b(settings_, "State\\Lists", "Quarantine");
        EXPECT_EQ(b.Get(), c.Expected) << c.Name;
    }
}

TEST_F(RegSettingsTest, LoadAllReadsEveryItemAndSaveAllWritesThem)
{
    other_.WriteInteger(THive::CurrentUser, kState, "FriendsWidth", 123);
    TIntegerSetting width(settings_, "State", "FriendsWidth", 250);
    TBooleanSetting firstRun(settings_, "State", "FirstRun", true);
    settings_.LoadAll();
    EXPECT_TRUE(width.Loaded());
    EXPECT_TRUE(firstRun.Loaded());
    other_.WriteInteger(THive::CurrentUser, kState, "FriendsWidth", 1);
    settings_.SaveAll();
    EXPECT_EQ(other_.ReadInteger(THive::CurrentUser, kState, "FriendsWidth"), 123u);
    EXPECT_EQ(other_.ReadInteger(THive::CurrentUser, kState, "FirstRun"), 1u);
}

TEST_F(RegSettingsTest, AutoSaveWritesOnDestruction)
{
    auto owner = std::make_unique<RegistrySettings>(&store_);
    owner->Company = "Veldhaven";
    owner->App = "Brixmoor 2.0";
    TIntegerSetting counter(*owner, "State", "Counter", 3);
    EXPECT_EQ(counter.Get(), 3);
    EXPECT_FALSE(other_.ReadInteger(THive::LocalMachine, kState, "Counter"));
    owner->AutoSave = true;
    owner.reset();
    EXPECT_EQ(other_.ReadInteger(THive::LocalMachine, kState, "Counter"), 3u);
}

// --- List layout -------------------------------------------------------------------

TEST(ListLayoutTest, EncodesTheStoredBlockByteForByte)
{
    const TListLayout layout{{120, 80}, 1, false};
    const std::string expected("S_V_S_1.0\0\0\x02\0\0\0\x78\0\0\0\x50\0\0\0\x01\0\0\0\x00", 28);
    EXPECT_EQ(EncodeListLayout(layout), expected);
    EXPECT_EQ(DecodeListLayout(expected), layout);
}

TEST(ListLayoutTest, TornOrForeignBlocksReadAsNothing)
{
    const std::string whole = EncodeListLayout({{120, 80, 60}, 2, true});
    for (std::size_t n = 0; n < whole.size(); ++n)
        EXPECT_FALSE(DecodeListLayout(whole.substr(0, n))) << n;
    EXPECT_TRUE(DecodeListLayout(whole));
    TByteWriter w;
    WriteVersion(w, "2.0");
    EXPECT_FALSE(DecodeListLayout(w.Bytes() + whole.substr(10)));
    TByteWriter huge;
    WriteVersion(huge, "1.0");
    WriteZString(huge, "");
    WriteInt32(huge, 0x7FFFFFFF);
    WriteInt32(huge, 10);
    EXPECT_FALSE(DecodeListLayout(huge.Bytes()));
}

struct FitCase {
    const char* Name;
    TListLayout Stored;
    TListLayout Current;
    TListLayout Expected;
};

TEST(ListLayoutTest, FitsTheListsColumns)
{
    const FitCase cases[] = {
        {"MoreWidthsThanColumns", {{1, 2, 3, 4}, 1, false}, {{10, 20}, 0, true}, {{1, 2}, 1, false}},
        {"FewerWidths", {{5}, 0, true}, {{10, 20, 30}, 2, false}, {{5, 20, 30}, 0, true}},
        {"SortBeyondLast", {{1, 2}, 7, true}, {{10, 20, 30}, 0, true}, {{1, 2, 30}, 2, true}},
        {"NegativeSort", {{}, -3, true}, {{10}, 0, false}, {{10}, 0, true}},
    };
    for (const FitCase& c : cases)
        EXPECT_EQ(FitListLayout(c.Stored, c.Current), c.Expected) << c.Name;
}

TEST_F(RegSettingsTest, ListLayoutThroughABinaryItem)
{
    TBinarySetting inbox(settings_, "State\\Lists", "Inbox");
    const TListLayout layout{{100, 200, 50}, 2, false};
    inbox.Set(EncodeListLayout(layout));
    TBinarySetting reread(settings_, "State\\Lists", "Inbox");
    EXPECT_EQ(DecodeListLayout(reread.Get()), layout);
}

} // namespace
} // namespace bm
