// The older binary accounts.dat: read once, accounts.ini written, .dat deleted.
#include <gtest/gtest.h>

#include "config/acctU.h"
#include "core/streamU.h"
#include "platform/inifile.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

void WriteLegacyAccount(TByteWriter& w, const TAccountValues& v)
{
    WriteZString(w, v.Name);
    WriteZString(w, v.Incoming.Server);
    WriteZString(w, v.Incoming.UserName);
    WriteZString(w, v.Incoming.Password);
    WriteBool(w, v.Incoming.SecurePasswordAuthentication);
    WriteByte(w, v.Incoming.SSL);
    WriteInt32(w, v.Incoming.Port);
    WriteInt32(w, v.Outgoing.Port);
    WriteZString(w, v.Outgoing.Server);
    WriteZString(w, v.Outgoing.UserName);
    WriteZString(w, v.Outgoing.Password);
    WriteByte(w, v.Outgoing.SSL);
    WriteBool(w, v.Outgoing.LoginRequired);
    WriteBool(w, v.Outgoing.UseAccountUser);
    WriteZString(w, v.Outgoing.BadMailReply);
    WriteInt32(w, static_cast<std::int32_t>(v.Outgoing.EMailAddresses.size()));
    for (const std::string& a : v.Outgoing.EMailAddresses)
        WriteZString(w, a);
    WriteZString(w, v.Outgoing.DefaultEMailAddress);
    WriteInt32(w, v.QuarantineDays);
    WriteBool(w, v.KeysInMessages);
    WriteBool(w, v.InDefaultCheck);
}

TAccountValues Sample(const std::string& name)
{
    TAccountValues v;
    v.Name = name;
    v.Incoming = {"pop." + name, "u-" + name, "p-" + name, true, 1, 1110, "", false};
    v.Outgoing.Port = 2525;
    v.Outgoing.Server = "smtp." + name;
    v.Outgoing.UserName = "s-" + name;
    v.Outgoing.Password = "sp-" + name;
    v.Outgoing.SSL = 3;
    v.Outgoing.LoginRequired = true;
    v.Outgoing.UseAccountUser = false;
    v.Outgoing.BadMailReply = "77_1";
    v.Outgoing.EMailAddresses = {name + "@a.example", name + "@b.example"};
    v.Outgoing.DefaultEMailAddress = name + "@a.example";
    v.QuarantineDays = 5;
    v.KeysInMessages = false;
    v.InDefaultCheck = false;
    return v;
}

std::string LegacyBytes(std::int32_t count, const std::vector<TAccountValues>& accounts)
{
    TByteWriter w;
    WriteVersion(w, "1.0");
    WriteZString(w, "accounts");
    WriteInt32(w, count);
    for (const TAccountValues& v : accounts)
        WriteLegacyAccount(w, v);
    return w.TakeBytes();
}

class AcctLegacyTest : public testing::Test {
protected:
    std::filesystem::path Ini() const { return dir_.path() / "accounts.ini"; }
    std::filesystem::path Dat() const { return dir_.path() / "accounts.dat"; }
    TempDir dir_;
    TOptions options_;
};

TEST_F(AcctLegacyTest, ConvertedWrittenAndDeleted)
{
    WriteFileBytes(Dat(), LegacyBytes(2, {Sample("one"), Sample("two")}));
    TAccountList list(options_);
    list.LoadFromFile(Ini());
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Item(0)->Snapshot(), Sample("one"));
    EXPECT_EQ(list.Item(1)->Snapshot(), Sample("two"));
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(std::filesystem::exists(Dat()));
    EXPECT_EQ(ReadFileBytes(Ini()).find("sp-one"), std::string::npos) << "password in plain text";

    TAccountList again(options_);
    again.LoadFromFile(Ini());
    ASSERT_EQ(again.Count(), 2);
    EXPECT_EQ(again.Item(1)->Snapshot(), Sample("two"));
}

struct TornCase {
    const char* Name;
    std::size_t CutFromEnd; // bytes removed from a file of two accounts
    int Accounts;           // accounts kept
    bool SecondComplete;
};

TEST_F(AcctLegacyTest, TornFileKeepsWhatItHeld)
{
    const std::string whole = LegacyBytes(2, {Sample("one"), Sample("two")});
    TByteWriter second;
    WriteLegacyAccount(second, Sample("two"));
    const std::size_t secondSize = second.Size();
    const TornCase cases[] = {
        {"Whole", 0, 2, true},
        {"LastByteGone", 1, 2, false},
        {"AfterSecondServer", secondSize - 12, 2, false},
        {"SecondNameOnly", secondSize - 4, 2, false},
        {"SecondMissing", secondSize, 1, false},
        {"CountClaimsMore", 0, 2, true},
    };
    for (const TornCase& c : cases) {
        std::string bytes = whole.substr(0, whole.size() - c.CutFromEnd);
        if (std::string(c.Name) == "CountClaimsMore")
            bytes = LegacyBytes(1000000, {Sample("one"), Sample("two")});
        WriteFileBytes(Dat(), bytes);
        std::filesystem::remove(Ini());
        TAccountList list(options_);
        list.LoadFromFile(Ini());
        ASSERT_EQ(list.Count(), c.Accounts) << c.Name;
        EXPECT_EQ(list.Item(0)->Snapshot(), Sample("one")) << c.Name;
        if (c.Accounts == 2) {
            EXPECT_EQ(list.Item(1)->Name(), "two") << c.Name;
            EXPECT_EQ(list.Item(1)->Snapshot() == Sample("two"), c.SecondComplete) << c.Name;
        }
        EXPECT_FALSE(std::filesystem::exists(Dat())) << c.Name;
        EXPECT_EQ(TIniFile(Ini()).ReadInteger("General", "Accounts", -1), c.Accounts) << c.Name;
    }
}

TEST_F(AcctLegacyTest, TornAccountKeepsDefaultsForWhatIsMissing)
{
    // Name and incoming server only.
    TByteWriter w;
    WriteVersion(w, "1.0");
    WriteZString(w, "");
    WriteInt32(w, 1);
    WriteZString(w, "cut");
    WriteZString(w, "pop.cut");
    WriteFileBytes(Dat(), w.Bytes());
    options_.SetQuarantineDays(40);
    TAccountList list(options_);
    list.LoadFromFile(Ini());
    ASSERT_EQ(list.Count(), 1);
    TAccountValues expected;
    expected.Name = "cut";
    expected.Incoming.Server = "pop.cut";
    expected.QuarantineDays = 40;
    EXPECT_EQ(list.Item(0)->Snapshot(), expected);
}

struct UnreadableCase {
    const char* Name;
    std::string Bytes;
};

TEST_F(AcctLegacyTest, NoCountLeavesTheDatAndReadsTheIni)
{
    const UnreadableCase cases[] = {
        {"Empty", ""},
        {"MarkerOnly", LegacyBytes(0, {}).substr(0, 10)},
        {"CountCut", LegacyBytes(1, {}).substr(0, LegacyBytes(1, {}).size() - 1)},
    };
    for (const UnreadableCase& c : cases) {
        WriteFileBytes(Dat(), c.Bytes);
        WriteFileBytes(Ini(), "[General]\nAccounts=1\n[Account1]\nName=from ini\n");
        TAccountList list(options_);
        list.LoadFromFile(Ini());
        ASSERT_EQ(list.Count(), 1) << c.Name;
        EXPECT_EQ(list.Item(0)->Name(), "from ini") << c.Name;
        EXPECT_EQ(ReadFileBytes(Dat()), c.Bytes) << c.Name;
    }
}

TEST_F(AcctLegacyTest, PasswordTooLongToEncipherIsDropped)
{
    TAccountValues v = Sample("long");
    v.Incoming.Password = std::string(192, 'p');
    WriteFileBytes(Dat(), LegacyBytes(1, {v}));
    TAccountList list(options_);
    list.LoadFromFile(Ini());
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Item(0)->Incoming().Password(), "");
    EXPECT_EQ(list.Item(0)->Outgoing().Password(), "sp-long");
    EXPECT_FALSE(std::filesystem::exists(Dat()));
}

TEST_F(AcctLegacyTest, ZeroAccountsIsAValidFile)
{
    WriteFileBytes(Dat(), LegacyBytes(0, {}));
    TAccountList list(options_);
    list.LoadFromFile(Ini());
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(std::filesystem::exists(Dat()));
    EXPECT_EQ(TIniFile(Ini()).ReadString("General", "Accounts", ""), "0");
}

} // namespace
} // namespace bm
