// The older binary options.dat: read once, options.ini written, .dat deleted.
#include <gtest/gtest.h>

#include <functional>

#include "config/optionsU.h"
#include "core/streamU.h"
#include "platform/inifile.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// Writes the fields of an older options file in their order. `version` ""
// writes no marker; the versioned groups follow the version as the older
// writers did. `fields` limits how many values are written (a torn file).
std::string LegacyOptionsBytes(const std::string& version, int fields = 1000)
{
    TByteWriter w;
    if (!version.empty())
        WriteVersion(w, version);
    WriteZString(w, "Brixmoor options");
    int left = fields;
    auto i32 = [&](int v) { if (left-- > 0) WriteInt32(w, v); };
    auto b = [&](bool v) { if (left-- > 0) WriteBool(w, v); };
    auto s = [&](const char* v) { if (left-- > 0) WriteZString(w, v); };
    i32(21);            // QuarantineDays
    b(false);           // PlaySound
    s("/old/ding.wav"); // SoundFile
    b(false);           // AutoCheck
    i32(12);            // AutoInterval
    b(false);           // MinimizeOnStartup
    b(false);           // CheckOnStartup
    i32(1);             // Connect
    b(true);            // proxy UseProxy
    s("proxy.old");     // Address
    i32(3128);          // Port
    b(true);            // Logon
    s("olduser");       // Username
    s("oldpass");       // Password, plain
    i32(11000);         // POP3Port
    i32(2525);          // SMTPPort
    b(false);           // AutoReplyToRequests
    b(false);           // WhitelistRecipients
    const std::string v = version.empty() ? "0" : version;
    if (CompareVersions(v, "1.0") > 0) {
        i32(11995);     // POP3PortSSL
        i32(2465);      // SMTPPortSSL
        b(false);       // KeysInMessages
    }
    if (CompareVersions(v, "1.01") > 0)
        b(true); // UseIndividualAccountSettings
    if (CompareVersions(v, "1.02") > 0)
        b(false); // BlackListCleanedQuarantine
    if (CompareVersions(v, "1.03") > 0)
        b(false); // SendQuarantineMessage
    if (CompareVersions(v, "1.04") > 0)
        i32(45); // DelayBetweenAccounts
    return w.TakeBytes();
}

// The values of every field up to WhitelistRecipients as written above.
TOptionsValues BaseLegacyValues()
{
    TOptions fresh;
    TOptionsValues v = fresh.Snapshot();
    v.QuarantineDays = 21;
    v.PlaySound = false;
    v.SoundFile = "/old/ding.wav";
    v.AutoCheck = false;
    v.AutoInterval = 12;
    v.MinimizeOnStartup = false;
    v.CheckOnStartup = false;
    v.Connect = 1;
    v.Proxy = {true, "proxy.old", 3128, true, "olduser", "oldpass"};
    v.POP3Port = 11000;
    v.SMTPPort = 2525;
    v.AutoReplyToRequests = false;
    v.WhitelistRecipients = false;
    // What a version without the later fields implies.
    v.POP3PortSSL = 11001;
    v.SMTPPortSSL = 2526;
    return v;
}

struct LegacyCase {
    const char* Name;
    std::string Bytes;
    std::function<void(TOptionsValues&)> Expect; // applied to BaseLegacyValues()
};

class OptionsLegacyTest : public testing::TestWithParam<LegacyCase> {};

INSTANTIATE_TEST_SUITE_P(
    Versions, OptionsLegacyTest,
    testing::Values(
        LegacyCase{"NoMarker", LegacyOptionsBytes(""), [](TOptionsValues&) {}},
        LegacyCase{"Version1_0", LegacyOptionsBytes("1.0"), [](TOptionsValues&) {}},
        LegacyCase{"Version1_01", LegacyOptionsBytes("1.01"),
                   [](TOptionsValues& v) {
                       v.POP3PortSSL = 11995;
                       v.SMTPPortSSL = 2465;
                       v.KeysInMessages = false;
                   }},
        LegacyCase{"Version1_05", LegacyOptionsBytes("1.05"),
                   [](TOptionsValues& v) {
                       v.POP3PortSSL = 11995;
                       v.SMTPPortSSL = 2465;
                       v.KeysInMessages = false;
                       v.UseIndividualAccountSettings = true;
                       v.BlackListCleanedQuarantine = false;
                       v.SendQuarantineMessage = false;
                       v.DelayBetweenAccounts = 45;
                   }},
        // Cut after SoundFile: what was read stays, the rest keeps its
        // default, and no port was read, so none is implied.
        LegacyCase{"TornAfterThreeFields", LegacyOptionsBytes("1.05", 3),
                   [](TOptionsValues& v) {
                       TOptions fresh;
                       const TOptionsValues d = fresh.Snapshot();
                       const std::string sound = v.SoundFile;
                       v = d;
                       v.QuarantineDays = 21;
                       v.PlaySound = false;
                       v.SoundFile = sound;
                   }},
        // Cut in the middle of the POP3 port integer.
        LegacyCase{"TornInsideAnInteger", LegacyOptionsBytes("1.0", 15).substr(0, LegacyOptionsBytes("1.0", 15).size() - 2),
                   [](TOptionsValues& v) {
                       v.POP3Port = 0;
                       v.SMTPPort = 0;
                       v.POP3PortSSL = 0;
                       v.SMTPPortSSL = 0;
                       v.AutoReplyToRequests = true;
                       v.WhitelistRecipients = true;
                   }}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_P(OptionsLegacyTest, ConvertsToIniAndDeletesTheDat)
{
    TempDir dir;
    const auto ini = dir.path() / "options.ini";
    const auto dat = dir.path() / "options.dat";
    WriteFileBytes(dat, GetParam().Bytes);
    TOptionsValues expected = BaseLegacyValues();
    GetParam().Expect(expected);

    TOptions o;
    o.LoadFromFile(ini);
    EXPECT_EQ(o.Snapshot(), expected);
    EXPECT_FALSE(o.Modified());
    EXPECT_FALSE(std::filesystem::exists(dat));
    ASSERT_TRUE(std::filesystem::exists(ini));

    TOptions again;
    again.LoadFromFile(ini);
    EXPECT_EQ(again.Snapshot(), expected);
    if (!expected.Proxy.Password.empty()) {
        EXPECT_EQ(ReadFileBytes(ini).find(expected.Proxy.Password), std::string::npos) << "password in plain text";
    }
}

struct UnreadableCase {
    const char* Name;
    std::string Bytes;
};

class OptionsUnreadableLegacyTest : public testing::TestWithParam<UnreadableCase> {};

INSTANTIATE_TEST_SUITE_P(Cases, OptionsUnreadableLegacyTest,
                         testing::Values(UnreadableCase{"Empty", ""},
                                         UnreadableCase{"MarkerOnly", LegacyOptionsBytes("1.05").substr(0, 11)},
                                         UnreadableCase{"IgnoredStringOnly", LegacyOptionsBytes("1.05", 0)},
                                         UnreadableCase{"ThreeBytesOfAnInteger",
                                                        LegacyOptionsBytes("1.05", 0) + std::string("\x15\0\0", 3)}),
                         [](const auto& info) { return std::string(info.param.Name); });

// A .dat that yields no value is kept (it may be all the user has) and the
// INI file is read as if the .dat were not there.
TEST_P(OptionsUnreadableLegacyTest, LeftInPlaceAndIniRead)
{
    TempDir dir;
    const auto ini = dir.path() / "options.ini";
    const auto dat = dir.path() / "options.dat";
    WriteFileBytes(dat, GetParam().Bytes);
    WriteFileBytes(ini, "[Quarantine]\r\nQuarantineDays=33\r\n");
    TOptions o;
    o.LoadFromFile(ini);
    EXPECT_EQ(o.QuarantineDays(), 33);
    EXPECT_EQ(ReadFileBytes(dat), GetParam().Bytes);
    EXPECT_EQ(ReadFileBytes(ini), "[Quarantine]\r\nQuarantineDays=33\r\n");
}

TEST(OptionsLegacyTest, DamagedNumbersInTheDatTakeDefaults)
{
    TByteWriter w;
    WriteVersion(w, "1.0");
    WriteZString(w, "");
    WriteInt32(w, -3); // QuarantineDays
    TempDir dir;
    WriteFileBytes(dir.path() / "options.dat", w.Bytes());
    TOptions o;
    o.LoadFromFile(dir.path() / "options.ini");
    EXPECT_EQ(o.QuarantineDays(), 14);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "options.dat"));
}

} // namespace
} // namespace bm
