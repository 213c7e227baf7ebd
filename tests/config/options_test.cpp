// options.ini: defaults, key order, damaged values, the Modified flag, the
// proxy password and the listen address.
#include "config/optionsU.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/pwdcrypt.h"
#include "platform/inifile.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// Every value different from its default.
TOptionsValues NonDefaultValues()
{
    TOptionsValues v;
    v.QuarantineDays = 30;
    v.PlaySound = false;
    v.SoundFile = "/sounds/ding.wav";
    v.AutoCheck = false;
    v.AutoInterval = 17;
    v.MinimizeOnStartup = false;
    v.CheckOnStartup = false;
    v.Connect = 2;
    v.POP3Port = 11000;
    v.SMTPPort = 2525;
    v.AutoReplyToRequests = false;
    v.WhitelistRecipients = false;
    v.POP3PortSSL = 11001;
    v.SMTPPortSSL = 2526;
    v.KeysInMessages = false;
    v.UseIndividualAccountSettings = true;
    v.BlackListCleanedQuarantine = false;
    v.SendQuarantineMessage = false;
    v.DelayBetweenAccounts = 60;
    v.ShowAttachmentsInQuarantine = true;
    v.ShowAttachmentsInInbox = true;
    v.ListenAddress = "0.0.0.0";
    v.ChallengeAutomaticMail = true;
    v.TrustRepliesToSentMail = false;
    v.Proxy = {true, "proxy.example", 8080, true, "proxyuser", "proxy secret"};
    return v;
}

TOptionsValues DefaultValues()
{
    TOptions o;
    return o.Snapshot();
}

TEST(OptionsTest, FreshObjectHoldsTheDefaults)
{
    TOptions o;
    const TOptionsValues v = o.Snapshot();
    EXPECT_EQ(v.QuarantineDays, 14);
    EXPECT_EQ(v.AutoInterval, 5);
    EXPECT_EQ(v.SoundFile, DefaultSoundFile());
    EXPECT_TRUE(DefaultSoundFile().ends_with("/newmail.wav"));
    EXPECT_EQ(v.ListenAddress, "127.0.0.1");
    EXPECT_FALSE(v.Proxy.UseProxy);
    EXPECT_FALSE(o.Modified());
}

TEST(OptionsTest, NeitherFileKeepsDefaultsAndWritesNothing)
{
    TempDir dir;
    TOptions o;
    o.SetQuarantineDays(20);
    o.LoadFromFile(dir.path() / "options.ini");
    EXPECT_EQ(o.QuarantineDays(), 20);
    EXPECT_FALSE(o.Modified());
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST(OptionsTest, DefaultFileKeyOrderIsByteExact)
{
    TempDir dir;
    TOptions o;
    o.SaveToFile(dir.path() / "options.ini");
    const std::string expected =
        "[Quarantine]\r\nQuarantineDays=14\r\n\r\n"
        "[Sound]\r\nPlay=1\r\nMail=" + DefaultSoundFile() + "\r\n\r\n"
        "[MailCheck]\r\nAuto=1\r\nAutoInterval=5\r\nConnect=0\r\n\r\n"
        "[Startup]\r\nMinimize=1\r\nMailCheck=1\r\n\r\n"
        "[Proxy]\r\nUse=0\r\nAddress=\r\nPort=0\r\nLogon=0\r\nUsername=\r\nPassword=\r\n\r\n"
        "[Server.POP3]\r\nPortNormal=0\r\nPortSSL=0\r\n\r\n"
        "[Server.SMTP]\r\nPortNormal=0\r\nPortSSL=0\r\n\r\n"
        "[Automation]\r\nAutoReplyToRequests=1\r\nWhitelistRecipients=1\r\nBlackListCleanedQuarantine=1\r\n\r\n"
        "[Options]\r\nKeysInMessages=1\r\nUseIndividualAccountSettings=0\r\nSendQuarantineMessage=1\r\n"
        "DelayBetweenAccounts=0\r\nChallengeAutomaticMail=0\r\nTrustRepliesToSentMail=1\r\n\r\n"
        "[Attachments]\r\nShowInInbox=0\r\nShowInQuarantine=0\r\n\r\n"
        "[Server]\r\nListenAddress=127.0.0.1\r\n";
    EXPECT_EQ(ReadFileBytes(dir.path() / "options.ini"), expected);
}

TEST(OptionsTest, RoundTripKeepsEveryValueAndEnciphersThePassword)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    TOptions o;
    o.SetValues(NonDefaultValues());
    o.SaveToFile(file);
    EXPECT_EQ(ReadFileBytes(file).find("proxy secret"), std::string::npos);
    TOptions back;
    back.LoadFromFile(file);
    EXPECT_EQ(back.Snapshot(), NonDefaultValues());
    EXPECT_EQ(DecryptPassword(TIniFile(file).ReadString("Proxy", "Password", "")), "proxy secret");
}

// One row per key: with that key gone from a file holding non-default
// values, the field takes its default and every other field keeps its value.
struct MissingKeyCase {
    const char* Section;
    const char* Key;
    std::function<void(TOptionsValues&, const TOptionsValues&)> TakeDefault;
};

class OptionsMissingKeyTest : public testing::TestWithParam<MissingKeyCase> {};

#define FIELD(f) [](TOptionsValues& v, const TOptionsValues& d) { v.f = d.f; }

INSTANTIATE_TEST_SUITE_P(
    EveryKey, OptionsMissingKeyTest,
    testing::Values(MissingKeyCase{"Quarantine", "QuarantineDays", FIELD(QuarantineDays)},
                    MissingKeyCase{"Sound", "Play", FIELD(PlaySound)},
                    MissingKeyCase{"Sound", "Mail", FIELD(SoundFile)},
                    MissingKeyCase{"MailCheck", "Auto", FIELD(AutoCheck)},
                    MissingKeyCase{"MailCheck", "AutoInterval", FIELD(AutoInterval)},
                    MissingKeyCase{"Startup", "Minimize", FIELD(MinimizeOnStartup)},
                    MissingKeyCase{"Startup", "MailCheck", FIELD(CheckOnStartup)},
                    MissingKeyCase{"MailCheck", "Connect", FIELD(Connect)},
                    MissingKeyCase{"Proxy", "Use", FIELD(Proxy.UseProxy)},
                    MissingKeyCase{"Proxy", "Address", FIELD(Proxy.Address)},
                    MissingKeyCase{"Proxy", "Port", FIELD(Proxy.Port)},
                    MissingKeyCase{"Proxy", "Logon", FIELD(Proxy.Logon)},
                    MissingKeyCase{"Proxy", "Username", FIELD(Proxy.Username)},
                    MissingKeyCase{"Proxy", "Password", FIELD(Proxy.Password)},
                    MissingKeyCase{"Server.POP3", "PortNormal", FIELD(POP3Port)},
                    MissingKeyCase{"Server.SMTP", "PortNormal", FIELD(SMTPPort)},
                    MissingKeyCase{"Automation", "AutoReplyToRequests", FIELD(AutoReplyToRequests)},
                    MissingKeyCase{"Automation", "WhitelistRecipients", FIELD(WhitelistRecipients)},
                    MissingKeyCase{"Server.POP3", "PortSSL", FIELD(POP3PortSSL)},
                    MissingKeyCase{"Server.SMTP", "PortSSL", FIELD(SMTPPortSSL)},
                    MissingKeyCase{"Options", "KeysInMessages", FIELD(KeysInMessages)},
                    MissingKeyCase{"Options", "UseIndividualAccountSettings", FIELD(UseIndividualAccountSettings)},
                    MissingKeyCase{"Automation", "BlackListCleanedQuarantine", FIELD(BlackListCleanedQuarantine)},
                    MissingKeyCase{"Options", "SendQuarantineMessage", FIELD(SendQuarantineMessage)},
                    MissingKeyCase{"Options", "DelayBetweenAccounts", FIELD(DelayBetweenAccounts)},
                    MissingKeyCase{"Attachments", "ShowInInbox", FIELD(ShowAttachmentsInInbox)},
                    MissingKeyCase{"Attachments", "ShowInQuarantine", FIELD(ShowAttachmentsInQuarantine)},
                    MissingKeyCase{"Server", "ListenAddress", FIELD(ListenAddress)},
                    MissingKeyCase{"Options", "ChallengeAutomaticMail", FIELD(ChallengeAutomaticMail)},
                    MissingKeyCase{"Options", "TrustRepliesToSentMail", FIELD(TrustRepliesToSentMail)}),
    [](const auto& info) {
        std::string name = std::string(info.param.Section) + "_" + info.param.Key;
        std::replace(name.begin(), name.end(), '.', '_');
        return name;
    });

#undef FIELD

TEST_P(OptionsMissingKeyTest, MissingKeyTakesTheDefault)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    {
        TOptions o;
        o.SetValues(NonDefaultValues());
        o.SaveToFile(file);
        TIniFile ini(file);
        ini.DeleteKey(GetParam().Section, GetParam().Key);
        ini.UpdateFile();
    }
    TOptionsValues expected = NonDefaultValues();
    GetParam().TakeDefault(expected, DefaultValues());
    TOptions loaded;
    loaded.LoadFromFile(file);
    EXPECT_EQ(loaded.Snapshot(), expected);
    EXPECT_FALSE(loaded.Modified());
}

// Hand-edited or damaged values.
struct DamagedValueCase {
    const char* Name;
    const char* Text; // the file
    std::function<void(TOptionsValues&)> Expect;
};

class OptionsDamagedValueTest : public testing::TestWithParam<DamagedValueCase> {};

INSTANTIATE_TEST_SUITE_P(
    Cases, OptionsDamagedValueTest,
    testing::Values(
        DamagedValueCase{"NotANumber", "[Quarantine]\nQuarantineDays=fourteen\n", [](auto&) {}},
        DamagedValueCase{"ZeroDays", "[Quarantine]\nQuarantineDays=0\n", [](auto&) {}},
        DamagedValueCase{"TooManyDays", "[Quarantine]\nQuarantineDays=3651\n", [](auto&) {}},
        DamagedValueCase{"LastDay", "[Quarantine]\nQuarantineDays=3650\n", [](auto& v) { v.QuarantineDays = 3650; }},
        DamagedValueCase{"IntervalTooLong", "[MailCheck]\nAutoInterval=99999\n", [](auto&) {}},
        DamagedValueCase{"UnknownConnect", "[MailCheck]\nConnect=7\n", [](auto&) {}},
        DamagedValueCase{"PortTooHigh", "[Server.POP3]\nPortNormal=70000\n", [](auto&) {}},
        DamagedValueCase{"HexPort", "[Server.SMTP]\nPortNormal=$9DD\n", [](auto& v) { v.SMTPPort = 2525; }},
        DamagedValueCase{"NegativeDelay", "[Options]\nDelayBetweenAccounts=-5\n", [](auto&) {}},
        DamagedValueCase{"BoolWord", "[Sound]\nPlay=no\n", [](auto&) {}},
        DamagedValueCase{"BoolFive", "[Sound]\nPlay=5\n[Startup]\nMinimize=0\n",
                         [](auto& v) { v.MinimizeOnStartup = false; }},
        DamagedValueCase{"NoProxySection", "[Quarantine]\nQuarantineDays=3\n",
                         [](auto& v) { v.QuarantineDays = 3; }},
        DamagedValueCase{"ListenAny", "[Server]\nListenAddress=ANY\n", [](auto& v) { v.ListenAddress = "0.0.0.0"; }},
        DamagedValueCase{"ListenGarbage", "[Server]\nListenAddress=my laptop\n", [](auto&) {}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_P(OptionsDamagedValueTest, LoadsTheSaneValue)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    WriteFileBytes(file, GetParam().Text);
    TOptionsValues expected = DefaultValues();
    GetParam().Expect(expected);
    TOptions o;
    o.LoadFromFile(file);
    EXPECT_EQ(o.Snapshot(), expected);
}

TEST(OptionsTest, MalformedProxyPasswordNamesTheFileAndChangesNothing)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    const std::string text = "[Quarantine]\r\nQuarantineDays=40\r\n[Proxy]\r\nPassword=AB12\r\n";
    WriteFileBytes(file, text);
    TOptions o;
    try {
        o.LoadFromFile(file);
        FAIL() << "no error";
    } catch (const EConfigFileError& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("options.ini: Invalid code value - ")) << e.what();
    }
    EXPECT_EQ(o.QuarantineDays(), 14);
    EXPECT_EQ(ReadFileBytes(file), text);
}

// --- Modified ------------------------------------------------------------------

struct SetterCase {
    const char* Name;
    std::function<void(TOptions&)> SetSame;
    std::function<void(TOptions&)> SetOther;
};

class OptionsModifiedTest : public testing::TestWithParam<SetterCase> {};

INSTANTIATE_TEST_SUITE_P(
    Setters, OptionsModifiedTest,
    testing::Values(
        SetterCase{"QuarantineDays", [](TOptions& o) { o.SetQuarantineDays(14); },
                   [](TOptions& o) { o.SetQuarantineDays(15); }},
        SetterCase{"SoundFile", [](TOptions& o) { o.SetSoundFile(DefaultSoundFile()); },
                   [](TOptions& o) { o.SetSoundFile(DefaultSoundFile() + "x"); }},
        SetterCase{"SoundFileCase", [](TOptions& o) { o.SetSoundFile(DefaultSoundFile()); },
                   [](TOptions& o) { o.SetSoundFile("/A.wav"); }},
        SetterCase{"PlaySound", [](TOptions& o) { o.SetPlaySound(true); }, [](TOptions& o) { o.SetPlaySound(false); }},
        SetterCase{"POP3PortSSL", [](TOptions& o) { o.SetPOP3PortSSL(0); }, [](TOptions& o) { o.SetPOP3PortSSL(995); }},
        SetterCase{"ShowInInbox", [](TOptions& o) { o.SetShowAttachmentsInInbox(false); },
                   [](TOptions& o) { o.SetShowAttachmentsInInbox(true); }},
        SetterCase{"ListenAddress", [](TOptions& o) { o.SetListenAddress("127.0.0.1"); },
                   [](TOptions& o) { o.SetListenAddress("any"); }},
        SetterCase{"ChallengeAutomaticMail", [](TOptions& o) { o.SetChallengeAutomaticMail(false); },
                   [](TOptions& o) { o.SetChallengeAutomaticMail(true); }},
        SetterCase{"TrustRepliesToSentMail", [](TOptions& o) { o.SetTrustRepliesToSentMail(true); },
                   [](TOptions& o) { o.SetTrustRepliesToSentMail(false); }},
        SetterCase{"ProxyUse", [](TOptions& o) { o.Proxy().SetUseProxy(false); },
                   [](TOptions& o) { o.Proxy().SetUseProxy(true); }},
        SetterCase{"ProxyAddress", [](TOptions& o) { o.Proxy().SetAddress(""); },
                   [](TOptions& o) { o.Proxy().SetAddress("p"); }},
        SetterCase{"ProxyPassword", [](TOptions& o) { o.Proxy().SetPassword(""); },
                   [](TOptions& o) { o.Proxy().SetPassword("x"); }},
        SetterCase{"AllValues", [](TOptions& o) { o.SetValues(DefaultValues()); },
                   [](TOptions& o) { o.SetValues(NonDefaultValues()); }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_P(OptionsModifiedTest, SetOnlyByARealChange)
{
    TOptions o;
    GetParam().SetSame(o);
    EXPECT_FALSE(o.Modified());
    GetParam().SetOther(o);
    EXPECT_TRUE(o.Modified());
}

TEST(OptionsTest, LoadAndSaveClearModified)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    TOptions o;
    o.SetAutoInterval(9);
    o.SaveToFile(file);
    EXPECT_FALSE(o.Modified());
    o.SetAutoInterval(10);
    o.LoadFromFile(file);
    EXPECT_FALSE(o.Modified());
    EXPECT_EQ(o.AutoInterval(), 9);
}

TEST(OptionsTest, SavingKeepsHandEditedLinesOfTheFile)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    WriteFileBytes(file, "; my notes\r\n[Quarantine]\r\nQuarantineDays=20\r\n");
    TOptions o;
    o.LoadFromFile(file);
    o.SaveToFile(file);
    const std::string text = ReadFileBytes(file);
    EXPECT_TRUE(text.starts_with("; my notes\r\n[Quarantine]\r\nQuarantineDays=20\r\n")) << text;
}

struct ListenCase {
    const char* Text;
    const char* Expected;
};

TEST(OptionsTest, ListenAddressNormalisation)
{
    const ListenCase cases[] = {{"127.0.0.1", "127.0.0.1"}, {"any", "0.0.0.0"},     {"Any", "0.0.0.0"},
                                {"0.0.0.0", "0.0.0.0"},     {"192.168.1.5", "192.168.1.5"},
                                {"", "127.0.0.1"},          {"::1", "127.0.0.1"},   {"1.2.3", "127.0.0.1"},
                                {"256.1.1.1", "127.0.0.1"}, {"localhost", "127.0.0.1"}};
    for (const ListenCase& c : cases)
        EXPECT_EQ(NormalizeListenAddress(c.Text), c.Expected) << c.Text;
}

} // namespace
} // namespace bm
