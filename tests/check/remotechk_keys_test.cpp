// Keys: their form, the key search in replies as mail clients quote and wrap
// them, and the sender-set rules of the challenge exchange.
#include "check/remotechkmdl.h"

#include "config/acctU.h"
#include "core/mailmsgU.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace bm {
namespace {

const std::string kKey = "AbCdEfGhIjKlMnOpQrStUvWxYz012345";

TEST(RemoteChkKeys, KeysAreThirtyTwoCharactersOfTheAlphabetAndDiffer)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string key = GenerateKey();
        ASSERT_EQ(key.size(), kKeyLength);
        EXPECT_EQ(key.find_first_not_of(kKeyAlphabet), std::string::npos) << key;
        seen.insert(key);
    }
    EXPECT_EQ(seen.size(), 200u);
}

TEST(RemoteChkKeys, MarkerLineHasTheFixedFrame)
{
    EXPECT_EQ(KeyMarkerLine(kKey), " -- ANTI-SPAM - " + kKey + " - ANTI-SPAM");
    EXPECT_EQ(kKeyMarkerOpening.size(), 16u);
}

struct ExtractCase {
    const char* name;
    std::vector<std::string> body;
    std::vector<std::string> textPart; // lines of a text/plain part, when not empty
    std::string expected;
};

const ExtractCase kExtractCases[] = {
    {"AsSent", {"Hello", " -- ANTI-SPAM - " + kKey + " - ANTI-SPAM"}, {}, kKey},
    {"QuotedOnce", {"Thanks", "> Held.", ">  -- ANTI-SPAM - " + kKey + " - ANTI-SPAM"}, {}, kKey},
    {"QuotedTwiceWithoutBlank", {">> -- ANTI-SPAM - " + kKey + " - ANTI-SPAM"}, {}, kKey},
    {"QuoteMarkWithoutBlank", {">-- ANTI-SPAM - " + kKey + " - ANTI-SPAM"}, {}, kKey},
    {"WrappedAfterTheKey", {"> -- ANTI-SPAM - " + kKey, "> - ANTI-SPAM"}, {}, kKey},
    {"WrappedInsideTheOpening", {"> -- ANTI-SPAM -", "> " + kKey + " - ANTI-SPAM"}, {}, kKey},
    {"WrappedBeforeTheKey", {" -- ANTI-SPAM - ", "   " + kKey + " - ANTI-SPAM"}, {}, kKey},
    {"InATextPart", {"preamble"}, {"> -- ANTI-SPAM - " + kKey + " - ANTI-SPAM"}, kKey},
    {"FirstMarkerWins", {" -- ANTI-SPAM - first - ANTI-SPAM", " -- ANTI-SPAM - second - ANTI-SPAM"}, {}, "first"},
    {"NoClosing", {" -- ANTI-SPAM - " + kKey}, {}, ""},
    {"NoOpening", {kKey + " - ANTI-SPAM"}, {}, ""},
    {"EmptyBetweenMarkers", {" -- ANTI-SPAM -  - ANTI-SPAM"}, {}, ""},
    {"LongerThanAnyKey", {" -- ANTI-SPAM - " + kKey + "X - ANTI-SPAM"}, {}, ""},
    {"NothingAtAll", {"Just text."}, {}, ""},
};

class RemoteChkExtract : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(RemoteChkExtract, FindsTheKeyAsAReaderWould)
{
    const ExtractCase& c = GetParam();
    TMailMessage m;
    m.Body = c.body;
    if (!c.textPart.empty()) {
        TMessagePart part;
        part.Kind = TPartKind::Text;
        part.ContentType = "text/plain";
        part.Lines = c.textPart;
        m.Parts.push_back(part);
    }
    EXPECT_EQ(ExtractKey(m), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RemoteChkExtract, ::testing::ValuesIn(kExtractCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RemoteChkKeys, KeyOfAParsedQuotingReply)
{
    TMailMessage m;
    m.LoadFromRaw("From: a@far.example\r\nTo: me@work.example\r\nSubject: Re: held\r\n\r\n"
                  "Sure.\r\n\r\nOn Thursday you wrote:\r\n> Your message is held.\r\n"
                  "> -- DO NOT EDIT BELOW THIS LINE --\r\n>  -- ANTI-SPAM - " +
                  kKey + " - ANTI-SPAM\r\n");
    EXPECT_EQ(ExtractKey(m), kKey);
}

struct MatchCase {
    const char* name;
    std::string fromList;
    std::string senders;
    bool expected;
};

const MatchCase kMatchCases[] = {
    {"Same", "a@x.example ", "a@x.example ", true},
    {"OtherLetterCase", "a@x.example ", "A@X.example ", true},
    {"OneOfSeveral", "a@x.example b@x.example ", "c@x.example b@x.example ", true},
    {"NoneInCommon", "a@x.example ", "b@x.example ", false},
    {"PrefixIsNotEnough", "a@x.example ", "a@x.exam ", false},
    {"EmptySenders", "a@x.example ", "", false},
    {"EmptyList", "", "a@x.example ", false},
};

class RemoteChkMatch : public ::testing::TestWithParam<MatchCase> {};

TEST_P(RemoteChkMatch, ComparesWholeAddressesIgnoringCase)
{
    const MatchCase& c = GetParam();
    EXPECT_EQ(SendersMatch(c.fromList, c.senders), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, RemoteChkMatch, ::testing::ValuesIn(kMatchCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RemoteChkKeys, SenderTextBecomesOneRecipientPerAddress)
{
    EXPECT_EQ(SenderRecipientsText("a@x.example b@y.example "), "a@x.example, b@y.example");
    EXPECT_EQ(SenderRecipientsText(""), "");
}

TEST(RemoteChkKeys, OwnAddressRules)
{
    TOptions options;
    TAccount account(options);
    TAccountValues v = account.Snapshot();
    v.Outgoing.EMailAddresses = {"Me@Work.example"};
    v.Outgoing.DefaultEMailAddress = "Boss@Work.example";
    account.SetValues(v);
    auto from = [](const std::string& address) {
        TMailMessage m;
        m.GetFrom().Address = address;
        return m;
    };
    EXPECT_TRUE(IsFromOwnAddress(account, from("me@work.example")));
    EXPECT_TRUE(IsFromOwnAddress(account, from("Boss@Work.example")));
    // The default address is compared exactly.
    EXPECT_FALSE(IsFromOwnAddress(account, from("boss@work.example")));
    EXPECT_FALSE(IsFromOwnAddress(account, from("other@work.example")));
}

struct AuthCase {
    const char* Name;
    std::vector<std::string> Results; // Authentication-Results values, top first
    bool Forged;
};

class RemoteChkAuth : public testing::TestWithParam<AuthCase> {};

TEST_P(RemoteChkAuth, OnlyTheOwnServersFirstVerdictCounts)
{
    TOptions options;
    TAccount account(options);
    TAccountValues v = account.Snapshot();
    v.Incoming.Server = "pop.home.example";
    account.SetValues(v);
    std::string raw;
    for (const std::string& r : GetParam().Results)
        raw += "Authentication-Results: " + r + "\r\n";
    raw += "From: boss@bank.example\r\nTo: me@home.example\r\nSubject: s\r\n\r\nbody\r\n";
    TMailMessage m;
    m.LoadFromRaw(raw);
    EXPECT_EQ(FailsOwnServerAuthentication(account, m), GetParam().Forged);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoteChkAuth,
    testing::Values(
        AuthCase{"DmarcFail", {"pop.home.example; dmarc=fail header.from=bank.example"}, true},
        AuthCase{"DomainAsAuthServId", {"home.example 1; spf=pass; DMARC=FAIL (p=reject)"}, true},
        AuthCase{"SpfFailNoDkim", {"home.example; spf=fail smtp.mailfrom=bank.example"}, true},
        AuthCase{"SpfFailDkimPass", {"home.example; spf=fail; dkim=pass header.d=bank.example"}, false},
        AuthCase{"AllPass", {"home.example; spf=pass; dkim=pass; dmarc=pass"}, false},
        AuthCase{"ForeignServerFail", {"mx.other.example; dmarc=fail"}, false},
        AuthCase{"ForgedClaimBelowOwnPass",
                 {"home.example; dmarc=pass", "home.example; dmarc=fail"}, false},
        AuthCase{"ForgedPassBelowOwnFail",
                 {"home.example; dmarc=fail", "home.example; dmarc=pass"}, true},
        AuthCase{"OtherServerAboveOwn", {"relay.example; dmarc=pass", "pop.home.example; dmarc=fail"}, true},
        AuthCase{"NoResults", {}, false}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(RemoteChkKeys, PersonalMailIsNotTakenForARobots)
{
    const char* const personal[] = {
        "Auto-Submitted: No\r\n",
        "Precedence: first-class\r\n",
        "Return-Path: <bob@far.example>\r\nDelivered-To: me@home.example\r\n",
        "Content-Type: multipart/mixed; boundary=x\r\n",
        "X-List: not a list header\r\n",
    };
    for (const char* headers : personal) {
        TMailMessage m;
        m.LoadFromRaw(std::string(headers) + "From: bob@far.example\r\nTo: me@home.example\r\nSubject: s\r\n\r\nhi\r\n");
        EXPECT_EQ(AutomaticMailReason(m), "") << headers;
    }
    for (const char* sender : {"postmaster-team@far.example", "daemon@far.example"}) {
        TMailMessage m;
        m.GetFrom().Address = sender;
        EXPECT_EQ(AutomaticMailReason(m), "") << sender;
    }
}

} // namespace
} // namespace bm
