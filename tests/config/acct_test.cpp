// accounts.ini: round trip, defaults, the address list, passwords, the
// Modified flag, lookups.
#include "config/acctU.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "core/mailmsgU.h"
#include "core/pwdcrypt.h"
#include "platform/inifile.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

TAccountValues SampleValues(const std::string& name)
{
    TAccountValues v;
    v.Name = name;
    v.Incoming = {"pop." + name + ".example", name + "-user", "in pass \xC3\xA9", true, 2, 995, "", false};
    v.Outgoing.Port = 587;
    v.Outgoing.Server = "smtp." + name + ".example";
    v.Outgoing.UserName = name + "-smtp";
    v.Outgoing.Password = "out pass";
    v.Outgoing.SSL = 3;
    v.Outgoing.LoginRequired = true;
    v.Outgoing.UseAccountUser = false;
    v.Outgoing.BadMailReply = "1234_1";
    v.Outgoing.EMailAddresses = {"me@" + name + ".example", "Me.Too@" + name + ".example"};
    v.Outgoing.DefaultEMailAddress = "me@" + name + ".example";
    v.QuarantineDays = 9;
    v.KeysInMessages = false;
    v.InDefaultCheck = false;
    return v;
}

TAccountPtr MakeAccount(const TOptions& options, const TAccountValues& v)
{
    auto a = std::make_shared<TAccount>(options);
    a->SetValues(v);
    return a;
}

class AcctTest : public testing::Test {
protected:
    std::filesystem::path File() const { return dir_.path() / "accounts.ini"; }
    TempDir dir_;
    TOptions options_;
};

TEST_F(AcctTest, RoundTripWithTrailingCommaAddressesAndEncipheredPasswords)
{
    TAccountList list(options_);
    list.Add(MakeAccount(options_, SampleValues("one")));
    list.Add(MakeAccount(options_, SampleValues("two")));
    list.SaveToFile(File());

    const TIniFile ini(File());
    EXPECT_EQ(ini.ReadString("General", "Accounts", ""), "2");
    EXPECT_EQ(ini.ReadString("Account2.Outgoing", "EMailAddresses", ""), "me@two.example,Me.Too@two.example,");
    const std::string text = ReadFileBytes(File());
    EXPECT_EQ(text.find("in pass"), std::string::npos);
    EXPECT_EQ(text.find("out pass"), std::string::npos);
    EXPECT_EQ(DecryptPassword(ini.ReadString("Account1.Incoming", "Password", "")), "in pass \xC3\xA9");
    EXPECT_EQ(ini.ReadSection("Account1.Outgoing"),
              (std::vector<std::string>{"Port", "Server", "UserName", "Password", "SSL", "LoginRequired",
                                        "UseAccountUser", "BadMailReply", "EMailAddresses", "DefaultEMailAddress"}));

    TAccountList back(options_);
    back.LoadFromFile(File());
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(back.Item(0)->Snapshot(), SampleValues("one"));
    EXPECT_EQ(back.Item(1)->Snapshot(), SampleValues("two"));
    EXPECT_EQ(back.Item(1)->Owner(), &back);
    EXPECT_FALSE(back.Modified());
}

TEST_F(AcctTest, ServerTrustKeysFollowTheSectionsKeysOnlyWhenSet)
{
    const std::string pin = "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:"
                            "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89";
    TAccountValues trusted = SampleValues("one");
    trusted.Incoming.CertFingerprint = pin;
    trusted.Incoming.TlsOffered = true;
    trusted.Outgoing.CertFingerprint = pin;
    trusted.Outgoing.TlsOffered = true;
    TAccountValues partly = SampleValues("two");
    partly.Outgoing.TlsOffered = true;
    TAccountList list(options_);
    list.Add(MakeAccount(options_, trusted));
    list.Add(MakeAccount(options_, partly));
    list.SaveToFile(File());

    const TIniFile ini(File());
    EXPECT_EQ(ini.ReadSection("Account1.Incoming"),
              (std::vector<std::string>{"Server", "UserName", "Password", "SecurePasswordAuthentication", "SSL",
                                        "Port", "CertFingerprint", "TlsOffered"}));
    EXPECT_EQ(ini.ReadSection("Account1.Outgoing"),
              (std::vector<std::string>{"Port", "Server", "UserName", "Password", "SSL", "LoginRequired",
                                        "UseAccountUser", "BadMailReply", "EMailAddresses", "DefaultEMailAddress",
                                        "CertFingerprint", "TlsOffered"}));
    EXPECT_EQ(ini.ReadSection("Account2.Incoming"),
              (std::vector<std::string>{"Server", "UserName", "Password", "SecurePasswordAuthentication", "SSL",
                                        "Port"}));
    EXPECT_EQ(ini.ReadString("Account1.Incoming", "CertFingerprint", ""), pin);
    EXPECT_EQ(ini.ReadString("Account2.Outgoing", "TlsOffered", ""), "1");

    TAccountList back(options_);
    back.LoadFromFile(File());
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(back.Item(0)->Snapshot(), trusted);
    EXPECT_EQ(back.Item(1)->Snapshot(), partly);
}

struct AddressTextCase {
    const char* Text;
    std::vector<std::string> Addresses;
};

TEST_F(AcctTest, AddressListIsReadByCommas)
{
    const AddressTextCase cases[] = {
        {"a@x.org,b@y.org,", {"a@x.org", "b@y.org"}},
        {"a@x.org,b@y.org", {"a@x.org", "b@y.org"}},
        {"a@x.org", {"a@x.org"}},
        {"", {}},
        {",,a@x.org,, b@y.org ,", {"a@x.org", "b@y.org"}},
    };
    for (const AddressTextCase& c : cases) {
        WriteFileBytes(File(), std::string("[General]\nAccounts=1\n[Account1.Outgoing]\nEMailAddresses=") + c.Text + "\n");
        TAccountList list(options_);
        list.LoadFromFile(File());
        ASSERT_EQ(list.Count(), 1);
        EXPECT_EQ(list.Item(0)->Outgoing().EMailAddresses(), c.Addresses) << c.Text;
    }
}

TEST_F(AcctTest, MissingSectionGivesAnAccountWithAllDefaults)
{
    options_.SetQuarantineDays(30);
    options_.SetKeysInMessages(false);
    WriteFileBytes(File(), "[General]\r\nAccounts=2\r\n[Account1]\r\nName=first\r\n");
    TAccountList list(options_);
    list.LoadFromFile(File());
    ASSERT_EQ(list.Count(), 2);
    TAccountValues expected;
    expected.QuarantineDays = 30;
    expected.KeysInMessages = false;
    EXPECT_EQ(list.Item(1)->Snapshot(), expected);
    EXPECT_EQ(list.Item(0)->Name(), "first");
}

// Hand-edited or damaged values take their defaults.
struct DamagedAccountCase {
    const char* Name;
    const char* Text;
    std::function<void(TAccountValues&)> Expect;
};

class AcctDamagedTest : public AcctTest, public testing::WithParamInterface<DamagedAccountCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, AcctDamagedTest,
    testing::Values(
        DamagedAccountCase{"NoUseAccountUser", "[Account1.Outgoing]\nLoginRequired=1\n",
                           [](TAccountValues& v) { v.Outgoing.LoginRequired = true; }},
        DamagedAccountCase{"PortGarbage", "[Account1.Incoming]\nPort=pop\n[Account1.Outgoing]\nPort=0\n",
                           [](TAccountValues&) {}},
        DamagedAccountCase{"PortTooHigh", "[Account1.Incoming]\nPort=99999\n", [](TAccountValues&) {}},
        DamagedAccountCase{"SslOutOfByte", "[Account1.Incoming]\nSSL=300\n", [](TAccountValues&) {}},
        DamagedAccountCase{"SslTwo", "[Account1.Incoming]\nSSL=2\n", [](TAccountValues& v) { v.Incoming.SSL = 2; }},
        DamagedAccountCase{"DaysZero", "[Account1]\nQuarantineDays=0\n", [](TAccountValues&) {}},
        DamagedAccountCase{"InDefaultCheckOff", "[Account1]\nInDefaultCheck=0\n",
                           [](TAccountValues& v) { v.InDefaultCheck = false; }},
        DamagedAccountCase{"EmptyPassword", "[Account1.Incoming]\nPassword=\n", [](TAccountValues&) {}},
        DamagedAccountCase{"NameWithSlash", "[Account1]\nName=../../etc\n",
                           [](TAccountValues& v) { v.Name = ".._.._etc"; }},
        DamagedAccountCase{"NameDotDot", "[Account1]\nName=..\n", [](TAccountValues& v) { v.Name = "__"; }},
        DamagedAccountCase{"NegativeCount", "[General]\nAccounts=-4\n[Account1]\nName=a\n",
                           [](TAccountValues& v) { v.Name = "a"; }},
        DamagedAccountCase{"HugeCount", "[General]\nAccounts=2000000000\n[Account1]\nName=a\n",
                           [](TAccountValues& v) { v.Name = "a"; }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_P(AcctDamagedTest, TakesTheDefault)
{
    std::string text = GetParam().Text;
    if (text.find("[General]") == std::string::npos)
        text = "[General]\nAccounts=1\n" + text;
    WriteFileBytes(File(), text);
    TAccountList list(options_);
    list.LoadFromFile(File());
    ASSERT_EQ(list.Count(), 1);
    TAccountValues expected;
    GetParam().Expect(expected);
    EXPECT_EQ(list.Item(0)->Snapshot(), expected);
}

// One unreadable stored password must not keep the program from starting:
// that account loads with an empty password and the error names the file;
// the others load whole, and nothing is written.
TEST_F(AcctTest, ADamagedPasswordLoadsEmptyAndIsReportedWithoutWritingTheFile)
{
    const std::string good = EncryptPassword("fine");
    const std::string text = "[General]\r\nAccounts=3\r\n[Account1]\r\nName=ok\r\n[Account1.Incoming]\r\n"
                             "Password=" + good + "\r\n[Account2]\r\nName=bad\r\n[Account2.Incoming]\r\n"
                             "Password=" + good + "\r\n[Account2.Outgoing]\r\nPassword=AB12\r\n"
                             "[Account3]\r\nName=after\r\n[Account3.Incoming]\r\nPassword=" + good + "\r\n";
    WriteFileBytes(File(), text);
    TAccountList list(options_);
    list.LoadFromFile(File());
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Item(0)->Incoming().Password(), "fine");
    EXPECT_EQ(list.Item(1)->Incoming().Password(), "fine");
    EXPECT_EQ(list.Item(1)->Outgoing().Password(), "");
    EXPECT_EQ(list.Item(2)->Incoming().Password(), "fine");
    const auto errors = list.LoadErrors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Account, "bad");
    EXPECT_TRUE(errors[0].Message.starts_with("accounts.ini: Invalid code value - ")) << errors[0].Message;
    EXPECT_FALSE(list.Modified());
    EXPECT_EQ(ReadFileBytes(File()), text);

    // A later load of a sound file forgets the old errors.
    TAccountList other(options_);
    other.Add(MakeAccount(options_, SampleValues("x")));
    other.SaveToFile(File());
    list.Clear();
    list.LoadFromFile(File());
    EXPECT_TRUE(list.LoadErrors().empty());
}

// A save for another reason (the sender setting LoginRequired) writes the
// unreadable text back as it was; setting the password replaces it.
TEST_F(AcctTest, AnUnreadablePasswordIsKeptUntilThePasswordIsSet)
{
    WriteFileBytes(File(), "[General]\r\nAccounts=1\r\n[Account1]\r\nName=bad\r\n"
                           "[Account1.Incoming]\r\nPassword=AB12\r\n[Account1.Outgoing]\r\nPassword=CD34\r\n");
    TAccountList list(options_);
    list.LoadFromFile(File());
    ASSERT_EQ(list.LoadErrors().size(), 2u);
    list.Item(0)->Outgoing().SetLoginRequired(true);
    list.SaveToFile(File());
    {
        const TIniFile ini(File());
        EXPECT_EQ(ini.ReadString("Account1.Incoming", "Password", ""), "AB12");
        EXPECT_EQ(ini.ReadString("Account1.Outgoing", "Password", ""), "CD34");
        EXPECT_TRUE(ini.ReadBool("Account1.Outgoing", "LoginRequired", false));
    }
    list.SetModified(false);
    list.Item(0)->Incoming().SetPassword("new");
    // Set to "" on purpose: no longer the kept text, so a change.
    list.Item(0)->Outgoing().SetPassword("");
    EXPECT_TRUE(list.Modified());
    list.SaveToFile(File());
    TAccountList again(options_);
    again.LoadFromFile(File());
    EXPECT_TRUE(again.LoadErrors().empty());
    EXPECT_EQ(again.Item(0)->Incoming().Password(), "new");
    EXPECT_EQ(again.Item(0)->Outgoing().Password(), "");
}

TEST_F(AcctTest, SavingAfterDeletingTheFirstOfThreeRenumbers)
{
    TAccountList list(options_);
    for (const char* n : {"a", "b", "c"})
        list.Add(MakeAccount(options_, SampleValues(n)));
    list.SaveToFile(File());
    list.Delete(0);
    list.SaveToFile(File());
    const TIniFile ini(File());
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"General", "Account1", "Account1.Incoming",
                                                            "Account1.Outgoing", "Account2", "Account2.Incoming",
                                                            "Account2.Outgoing"}));
    EXPECT_EQ(ini.ReadString("Account1", "Name", ""), "b");
    EXPECT_EQ(ini.ReadString("Account2", "Name", ""), "c");
}

TEST_F(AcctTest, MissingFileClearsTheList)
{
    TAccountList list(options_);
    list.Add(MakeAccount(options_, SampleValues("x")));
    list.LoadFromFile(File());
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(AcctTest, FindByNameIsExact)
{
    TAccountList list(options_);
    list.Add(MakeAccount(options_, SampleValues("Work")));
    list.Add(MakeAccount(options_, SampleValues("work")));
    EXPECT_EQ(list.FindByName("work"), list.Item(1));
    EXPECT_EQ(list.FindByName("Work"), list.Item(0));
    EXPECT_EQ(list.FindByName("WORK"), nullptr);
    EXPECT_EQ(list.FindByName("Work "), nullptr);
}

TEST_F(AcctTest, AnAccountBelongsToOneList)
{
    TAccountList list(options_);
    TAccountList other(options_);
    TAccountPtr a = list.Add(MakeAccount(options_, SampleValues("a")));
    EXPECT_THROW(other.Add(a), std::logic_error);
    list.Delete(0);
    EXPECT_EQ(a->Owner(), nullptr);
    list.SetModified(false);
    a->SetName("changed after removal");
    EXPECT_FALSE(list.Modified());
    other.Add(a);
    EXPECT_EQ(a->Owner(), &other);
}

// --- Modified ---------------------------------------------------------------------

struct AccountSetterCase {
    const char* Name;
    std::function<void(TAccount&)> SetSame;
    std::function<void(TAccount&)> SetOther;
};

class AcctModifiedTest : public AcctTest, public testing::WithParamInterface<AccountSetterCase> {};

INSTANTIATE_TEST_SUITE_P(
    Setters, AcctModifiedTest,
    testing::Values(
        AccountSetterCase{"Name", [](TAccount& a) { a.SetName("one"); }, [](TAccount& a) { a.SetName("One"); }},
        AccountSetterCase{"QuarantineDays", [](TAccount& a) { a.SetQuarantineDays(9); },
                          [](TAccount& a) { a.SetQuarantineDays(10); }},
        AccountSetterCase{"InDefaultCheck", [](TAccount& a) { a.SetInDefaultCheck(false); },
                          [](TAccount& a) { a.SetInDefaultCheck(true); }},
        AccountSetterCase{"IncomingServer", [](TAccount& a) { a.Incoming().SetServer("pop.one.example"); },
                          [](TAccount& a) { a.Incoming().SetServer("POP.one.example"); }},
        AccountSetterCase{"IncomingSSL", [](TAccount& a) { a.Incoming().SetSSL(2); },
                          [](TAccount& a) { a.Incoming().SetSSL(1); }},
        AccountSetterCase{"IncomingCertFingerprint", [](TAccount& a) { a.Incoming().SetCertFingerprint(""); },
                          [](TAccount& a) { a.Incoming().SetCertFingerprint("AB"); }},
        AccountSetterCase{"OutgoingTlsOffered", [](TAccount& a) { a.Outgoing().SetTlsOffered(false); },
                          [](TAccount& a) { a.Outgoing().SetTlsOffered(true); }},
        AccountSetterCase{"OutgoingLoginRequired", [](TAccount& a) { a.Outgoing().SetLoginRequired(true); },
                          [](TAccount& a) { a.Outgoing().SetLoginRequired(false); }},
        AccountSetterCase{"Addresses",
                          [](TAccount& a) { a.Outgoing().SetEMailAddresses({"me@one.example", "Me.Too@one.example"}); },
                          [](TAccount& a) { a.Outgoing().SetEMailAddresses({"Me.Too@one.example", "me@one.example"}); }},
        AccountSetterCase{"AssignIncoming",
                          [](TAccount& a) {
                              const TOptions options;
                              TAccount copy(options);
                              copy.SetValues(a.Snapshot());
                              a.Incoming().Assign(copy.Incoming());
                          },
                          [](TAccount& a) {
                              const TOptions options;
                              TAccount other(options);
                              a.Incoming().Assign(other.Incoming());
                          }},
        AccountSetterCase{"AssignOutgoing",
                          [](TAccount& a) {
                              const TOptions options;
                              TAccount copy(options);
                              copy.SetValues(a.Snapshot());
                              a.Outgoing().Assign(copy.Outgoing());
                          },
                          [](TAccount& a) {
                              const TOptions options;
                              TAccount other(options);
                              other.SetValues(a.Snapshot());
                              other.Outgoing().SetDefaultEMailAddress("x@y");
                              a.Outgoing().Assign(other.Outgoing());
                          }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_P(AcctModifiedTest, OnlyARealChangeMarksTheList)
{
    TAccountList list(options_);
    TAccountPtr a = list.Add(MakeAccount(options_, SampleValues("one")));
    list.SetModified(false);
    GetParam().SetSame(*a);
    EXPECT_FALSE(list.Modified());
    GetParam().SetOther(*a);
    EXPECT_TRUE(list.Modified());
}

TEST_F(AcctTest, ListChangesMarkAndLoadSaveClear)
{
    TAccountList list(options_);
    list.Add(MakeAccount(options_, SampleValues("a")));
    EXPECT_TRUE(list.Modified());
    list.SaveToFile(File());
    EXPECT_FALSE(list.Modified());
    list.Delete(0);
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    list.Delete(5);
    EXPECT_FALSE(list.Modified());
    list.Clear();
    EXPECT_TRUE(list.Modified());
    list.LoadFromFile(File());
    EXPECT_FALSE(list.Modified());
    EXPECT_EQ(list.Count(), 1);
}

// --- The account's own address and its reply template --------------------------------

TMailAddressList Addresses(std::initializer_list<const char*> items)
{
    TMailAddressList list;
    for (const char* a : items) {
        TMailAddress m;
        m.Address = a;
        list.Add(m);
    }
    return list;
}

struct OwnAddressCase {
    const char* Name;
    TMailAddressList To;
    TMailAddressList Cc;
    std::string Expected;
};

TEST_F(AcctTest, FindOwnAddress)
{
    TAccount a(options_);
    a.Outgoing().SetEMailAddresses({"me@one.example", "Me.Too@one.example"});
    const OwnAddressCase cases[] = {
        {"FirstOfTo", Addresses({"x@y", "me@one.example", "me.too@one.example"}), Addresses({}), "me@one.example"},
        {"ToOrderWins", Addresses({"ME.TOO@ONE.EXAMPLE", "me@one.example"}), Addresses({}), "ME.TOO@ONE.EXAMPLE"},
        {"CcWhenToHasNone", Addresses({"x@y"}), Addresses({"z@y", "Me@One.Example"}), "Me@One.Example"},
        {"ToBeforeCc", Addresses({"me.too@one.example"}), Addresses({"me@one.example"}), "me.too@one.example"},
        {"None", Addresses({"x@y"}), Addresses({"z@y"}), ""},
        {"Empty", Addresses({}), Addresses({}), ""},
    };
    for (const OwnAddressCase& c : cases)
        EXPECT_EQ(a.Outgoing().FindOwnAddress(c.To, c.Cc), c.Expected) << c.Name;
}

TEST_F(AcctTest, ReplyTemplateByExactId)
{
    TBadMailReplies replies;
    auto t = std::make_unique<TBadMailReply>();
    t->ID = "555_7";
    t->SetSubject("Please confirm");
    replies.Add(std::move(t));
    TAccount a(options_);
    a.Outgoing().SetBadMailReply("555_7");
    const std::optional<TBadMailReply> found = a.Outgoing().GetReplyTemplate(replies);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->Subject(), "Please confirm");
    a.Outgoing().SetBadMailReply("555_7 ");
    EXPECT_FALSE(a.Outgoing().GetReplyTemplate(replies));
    a.Outgoing().SetBadMailReply("");
    EXPECT_FALSE(a.Outgoing().GetReplyTemplate(replies));
}

struct QuarantineDaysCase {
    const char* Name;
    bool Individual;
    const char* Account;
    int Expected;
};

TEST_F(AcctTest, QuarantineDaysForAnAccount)
{
    TAccountList list(options_);
    TAccountValues v = SampleValues("own"); // 9 days
    list.Add(MakeAccount(options_, v));
    options_.SetQuarantineDays(21);
    const QuarantineDaysCase cases[] = {
        {"IndividualKnown", true, "own", 9},
        {"IndividualUnknown", true, "gone", 21},
        {"GlobalKnown", false, "own", 21},
    };
    for (const QuarantineDaysCase& c : cases) {
        options_.SetUseIndividualAccountSettings(c.Individual);
        EXPECT_EQ(QuarantineDaysFor(c.Account, options_, list), c.Expected) << c.Name;
    }
}

TEST_F(AcctTest, GlobalQuarantineSettingsReachEveryAccount)
{
    TAccountList list(options_);
    list.Add(MakeAccount(options_, SampleValues("a"))); // 9 days, no keys
    options_.SetQuarantineDays(21);
    options_.SetUseIndividualAccountSettings(true);
    EXPECT_FALSE(ApplyGlobalQuarantineSettings(list, options_));
    EXPECT_EQ(list.Item(0)->QuarantineDays(), 9);
    options_.SetUseIndividualAccountSettings(false);
    list.SetModified(false);
    EXPECT_TRUE(ApplyGlobalQuarantineSettings(list, options_));
    EXPECT_EQ(list.Item(0)->QuarantineDays(), 21);
    EXPECT_TRUE(list.Item(0)->KeysInMessages());
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    EXPECT_FALSE(ApplyGlobalQuarantineSettings(list, options_));
    EXPECT_FALSE(list.Modified());
}

TEST_F(AcctTest, SavesFromTwoThreadsLeaveALoadableFile)
{
    TAccountList list(options_);
    list.Add(MakeAccount(options_, SampleValues("a")));
    std::thread other([&] {
        for (int i = 0; i < 30; ++i)
            list.SaveToFile(File());
    });
    for (int i = 0; i < 30; ++i)
        list.SaveToFile(File());
    other.join();
    TAccountList back(options_);
    back.LoadFromFile(File());
    ASSERT_EQ(back.Count(), 1);
    EXPECT_EQ(back.Item(0)->Snapshot(), SampleValues("a"));
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
        EXPECT_EQ(entry.path().filename(), "accounts.ini") << "left behind: " << entry.path();
}

TEST(AcctNameTest, NameRule)
{
    EXPECT_STREQ(kAccountNameRuleMessage, "An account name can't contain the characters\r\n\\/:*?\"<>|");
    for (const char* bad : {"a\\b", "a/b", "c:", "*", "?", "\"q\"", "<", ">", "|", ".", ".."})
        EXPECT_FALSE(IsValidAccountName(bad)) << bad;
    for (const char* good : {"Work", "my mail", "a.b", "...", "\xC3\xA9t\xC3\xA9", ""})
        EXPECT_TRUE(IsValidAccountName(good)) << good;
}

} // namespace
} // namespace bm
