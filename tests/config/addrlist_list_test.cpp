// The Friends list and the blacklist as lists: sorting without duplicates,
// the Modified flag, matching a message's sender addresses, the text file's
// byte layout, the one-time conversion of the older binary file, and
// matching while another thread adds friends.
#include "config/addrlistU.h"

#include "core/mailmsgU.h"
#include "core/streamU.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

std::vector<std::string> Texts(const TAddressList& list)
{
    std::vector<std::string> out;
    for (const TAddressEntry& e : list.Entries())
        out.push_back(std::string(e.Active ? "+" : "-") + e.Text);
    return out;
}

TMailMessage MessageFrom(const std::string& from, const std::string& sender = "",
                         const std::string& replyTo = "")
{
    TMailMessage m;
    if (!from.empty())
        m.FromList.Add().Address = from;
    m.Sender.Address = sender;
    if (!replyTo.empty())
        m.ReplyTo.Add().Address = replyTo;
    return m;
}

// --- List --------------------------------------------------------------------

TEST(AddressListTest, SortedWithoutCaseDuplicates)
{
    TWhiteList list;
    EXPECT_TRUE(list.Add("b@x.com"));
    EXPECT_TRUE(list.Add("A@x.com", false));
    EXPECT_TRUE(list.Add("c@x.com"));
    EXPECT_FALSE(list.Add("B@X.COM"));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"-A@x.com", "+b@x.com", "+c@x.com"}));
    EXPECT_EQ(list.IndexOf("a@X.com"), 0);
    EXPECT_EQ(list.IndexOf("d@x.com"), -1);
}

TEST(AddressListTest, AddAddressLowerCases)
{
    TBlackList list;
    EXPECT_TRUE(list.AddAddress("Spam@Example.COM"));
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+spam@example.com"}));
}

TEST(AddressListTest, LineBreaksCannotEnterAnEntry)
{
    TWhiteList list;
    list.Add("a@x.com\r\n+evil@y.com");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+a@x.com+evil@y.com"}));
}

TEST(AddressListTest, ModifiedOnlyOnRealChanges)
{
    TWhiteList list;
    EXPECT_FALSE(list.Modified());
    list.Add("a@x.com");
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);

    list.Add("A@X.com");
    EXPECT_FALSE(list.Modified()) << "duplicate add";
    list.SetActive(0, true);
    EXPECT_FALSE(list.Modified()) << "same flag";
    list.SetText(0, "a@x.com");
    EXPECT_FALSE(list.Modified()) << "same text";
    list.Delete(5);
    EXPECT_FALSE(list.Modified()) << "index out of range";

    list.SetActive(0, false);
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    list.SetText(0, "A@x.com");
    EXPECT_TRUE(list.Modified()) << "a change of case is a change of text";
    list.SetModified(false);
    list.Delete(0);
    EXPECT_TRUE(list.Modified());
    list.SetModified(false);
    list.Clear();
    EXPECT_TRUE(list.Modified());
}

TEST(AddressListTest, SetTextKeepsFlagAndOrder)
{
    TWhiteList list;
    list.Add("b@x.com", false);
    list.Add("m@x.com");
    list.SetText(0, "z@x.com");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+m@x.com", "-z@x.com"}));
}

TEST(AddressListTest, SetTextToATextPresentElsewhereRemovesTheEntry)
{
    TWhiteList list;
    list.Add("a@x.com");
    list.Add("b@x.com", false);
    list.SetText(1, "A@X.COM");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+a@x.com"}));
    EXPECT_TRUE(list.Modified());
}

TEST(AddressListTest, ItemOutOfRangeThrows)
{
    TWhiteList list;
    EXPECT_THROW(list.Item(0), std::out_of_range);
}

// --- Matching ------------------------------------------------------------------

struct MatchCase {
    const char* Name;
    const char* From;
    const char* Sender;
    const char* ReplyTo;
    bool Expected;
};

class AddressMatchTest : public testing::TestWithParam<MatchCase> {};

TEST_P(AddressMatchTest, WalksFromSenderAndReplyTo)
{
    TWhiteList list;
    list.Add("friend@x.com");
    list.Add("off@x.com", false);
    list.Add("*@friends.org");
    const MatchCase& c = GetParam();
    EXPECT_EQ(list.Matches(MessageFrom(c.From, c.Sender, c.ReplyTo)), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Messages, AddressMatchTest, testing::Values(
    MatchCase{"From", "Friend@X.com", "", "", true},
    MatchCase{"Sender", "who@y.com", "friend@x.com", "", true},
    MatchCase{"ReplyToOnly", "who@y.com", "", "friend@x.com", true},
    MatchCase{"Wildcard", "anyone@friends.org", "", "", true},
    MatchCase{"InactiveEntry", "off@x.com", "", "", false},
    MatchCase{"Stranger", "who@y.com", "other@z.com", "", false},
    MatchCase{"NoAddresses", "", "", "", false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(AddressMatchTest, AnEmptyEntryDoesNotMatchAnAbsentSender)
{
    TWhiteList list;
    list.Add("");
    EXPECT_FALSE(list.Matches(MessageFrom("who@y.com")));
}

// --- Text file -------------------------------------------------------------------

TEST(AddressFileTest, WritesMarkerAndTextPerLineWithCrLf)
{
    TempDir dir;
    TBlackList list;
    list.Add("spam@y.com");
    list.Add("off@y.com", false);
    list.SaveToFile(dir.path() / "blacklist.txt");
    EXPECT_EQ(ReadFileBytes(dir.path() / "blacklist.txt"), " off@y.com\r\n+spam@y.com\r\n");
    EXPECT_FALSE(list.Modified());
}

TEST(AddressFileTest, ReadsMarkersBareLinesAndKeepsCase)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "whitelist.txt",
                   "+c@x.com\r\n off@x.com\r\n\r\nBare@X.com\r\n+b@x.com\nlast@x.com");
    TWhiteList list;
    list.Add("dropped@x.com");
    list.LoadFromFile(dir.path() / "whitelist.txt");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+b@x.com", "-Bare@X.com", "+c@x.com",
                                                     "-last@x.com", "-off@x.com"}));
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(list.Matches(MessageFrom("bare@x.com"))) << "inactive";
}

TEST(AddressFileTest, MissingFileGivesAnEmptyList)
{
    TempDir dir;
    TWhiteList list;
    list.Add("a@x.com");
    list.LoadFromFile(dir.path() / "whitelist.txt");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_FALSE(list.Modified());
}

TEST(AddressFileTest, DefaultFileIsInTheDataFolder)
{
    TWhiteList list;
    EXPECT_EQ(list.DefaultFileName().filename(), "whitelist.txt");
    EXPECT_EQ(TBlackList().DefaultFileName().filename(), "blacklist.txt");
    list.Add("a@x.com");
    list.SaveIfModified();
    EXPECT_EQ(ReadFileBytes(list.DefaultFileName()), "+a@x.com\r\n");
    std::filesystem::remove(list.DefaultFileName());
}

TEST(AddressFileTest, SaveIfModifiedWritesOnlyAfterAChange)
{
    TempDir dir;
    const auto file = dir.path() / "whitelist.txt";
    TWhiteList list;
    list.SaveIfModified(file);
    EXPECT_FALSE(std::filesystem::exists(file));
    list.Add("a@x.com");
    list.SaveIfModified(file);
    EXPECT_EQ(ReadFileBytes(file), "+a@x.com\r\n");
}

TEST(AddressFileTest, UnwritableFileThrowsAndKeepsModified)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "notafolder", "x");
    TWhiteList list;
    list.Add("a@x.com");
    EXPECT_THROW(list.SaveToFile(dir.path() / "notafolder" / "whitelist.txt"), std::runtime_error);
    EXPECT_TRUE(list.Modified());
}

// --- Older binary file -------------------------------------------------------------

struct LegacyCase {
    const char* Name;
    const char* Version; // nullptr: a file without a version marker
    bool Truncated;      // cut inside the second record
    std::vector<std::string> Expected;
};

class AddressLegacyTest : public testing::TestWithParam<LegacyCase> {};

TEST_P(AddressLegacyTest, ConvertedToTextAndDeleted)
{
    const LegacyCase& c = GetParam();
    TByteWriter w;
    if (c.Version)
        WriteVersion(w, c.Version);
    WriteZString(w, "Friends");
    WriteInt32(w, 2);
    WriteZString(w, "Joe@X.com");
    WriteBool(w, true);
    WriteZString(w, "Off@Y.com");
    WriteBool(w, false);
    std::string bytes = w.TakeBytes();
    if (c.Truncated)
        bytes.resize(bytes.size() - 1); // the second record loses its flag

    TempDir dir;
    WriteFileBytes(dir.path() / "whitelist.dat", bytes);
    TWhiteList list;
    list.LoadFromFile(dir.path() / "whitelist.txt");
    EXPECT_EQ(Texts(list), c.Expected);
    EXPECT_FALSE(list.Modified());
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "whitelist.dat"));

    TWhiteList reread;
    reread.LoadFromFile(dir.path() / "whitelist.txt");
    EXPECT_EQ(Texts(reread), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Files, AddressLegacyTest, testing::Values(
    LegacyCase{"Version10LowerCases", "1.0", false, {"+joe@x.com", "-off@y.com"}},
    LegacyCase{"NoMarkerLowerCases", nullptr, false, {"+joe@x.com", "-off@y.com"}},
    LegacyCase{"Version11KeepsCase", "1.1", false, {"+Joe@X.com", "-Off@Y.com"}},
    LegacyCase{"TruncatedKeepsWholeRecords", "1.0", true, {"+joe@x.com"}}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(AddressLegacyTest, CountBeyondTheDataReadsUpToTheEnd)
{
    TByteWriter w;
    WriteVersion(w, "1.1");
    WriteZString(w, "");
    WriteInt32(w, 1000000);
    WriteZString(w, "a@x.com");
    WriteBool(w, true);
    TempDir dir;
    WriteFileBytes(dir.path() / "blacklist.dat", w.Bytes());
    TBlackList list;
    list.LoadFromFile(dir.path() / "blacklist.txt");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+a@x.com"}));
    EXPECT_EQ(ReadFileBytes(dir.path() / "blacklist.txt"), "+a@x.com\r\n");
}

TEST(AddressLegacyTest, TextCutByTheEndOfTheFileIsNotAnEntry)
{
    TByteWriter w;
    WriteVersion(w, "1.1");
    WriteZString(w, "");
    WriteInt32(w, 2);
    WriteZString(w, "a@x.com");
    WriteBool(w, true);
    w.WriteRaw("b@x.c"); // no terminator, no flag
    TempDir dir;
    WriteFileBytes(dir.path() / "whitelist.dat", w.Bytes());
    TWhiteList list;
    list.LoadFromFile(dir.path() / "whitelist.txt");
    EXPECT_EQ(Texts(list), (std::vector<std::string>{"+a@x.com"}));
}

// --- Threads -------------------------------------------------------------------------

TEST(AddressThreadTest, MatchersRunWhileAWriterAddsFriends)
{
    TWhiteList list;
    list.AddAddress("always@x.com");
    constexpr int kAdded = 2000;
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};

    std::vector<std::thread> matchers;
    for (int t = 0; t < 3; ++t) {
        matchers.emplace_back([&, t] {
            int i = t;
            while (!done.load()) {
                if (!list.Matches(MessageFrom("stranger@y.com", "", "Always@X.com")))
                    ++failures;
                list.Matches(MessageFrom("user" + std::to_string(i++ % kAdded) + "@x.com"));
                (void)list.Entries();
            }
        });
    }
    std::thread writer([&] {
        for (int i = 0; i < kAdded; ++i)
            list.AddAddress("User" + std::to_string(i) + "@X.com");
        done = true;
    });
    writer.join();
    for (auto& m : matchers)
        m.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(list.Count(), kAdded + 1);
    for (int i = 0; i < kAdded; ++i)
        ASSERT_TRUE(list.Matches(MessageFrom("user" + std::to_string(i) + "@x.com"))) << i;
}

} // namespace
} // namespace bm
