// Messages the program builds, saved and read back; read messages saved
// unchanged and changed.

#include "core/mailmsgU.h"
#include "core/msghelpersU.h"

#include "mailmsg_support.h"

#include <gtest/gtest.h>

#include <chrono>

namespace bm {
namespace {

using test::CrLf;
using test::TFeed;

// 2026-07-01 12:00:00 UTC
const TSystemTime kSavedAt = TSystemTime(std::chrono::seconds(1782907200));
constexpr double kHalfSecond = 0.5 / 86400;

struct TBuiltCase {
    const char* name;
    std::string from;
    std::string to;
    std::string subject;
    std::vector<std::string> body;
    const char* transferEncoding; // expected Content-Transfer-Encoding
};

void PrintTo(const TBuiltCase& c, std::ostream* os) { *os << c.name; }

std::vector<TBuiltCase> BuiltCases() {
    const std::string longWords = [] {
        std::string s;
        for (int i = 0; i < 60; ++i) s += "word" + std::to_string(i) + " ";
        return s + "end";
    }();
    return {
        {"ThreeLines", "Ann <ann@example.org>", "bob@example.net", "Key request", {"one", "two", "three"}, "7bit"},
        {"DotLines", "a@example.org", "b@example.org", "dots", {".", "..", ".x", "end."}, "7bit"},
        {"EmptyLinesAndTrailingBlanks", "a@example.org", "b@example.org", "blank", {"", "x  ", "", "\ty"}, "7bit"},
        {"NonAsciiEverywhere", "J\xC3\xB6rg M\xC3\xBCller <j@example.org>",
         "\"Doe, John\" <j@example.net>, Z\xC3\xBC <z@example.net>", "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln",
         {"Sch\xC3\xB6nen Gru\xC3\x9F"}, "8bit"},
        {"LongAsciiSubjectFolds", "a@example.org", "b@example.org", longWords, {"x"}, "7bit"},
        {"LongNonAsciiSubject", "a@example.org", "b@example.org",
         [] {
             std::string s;
             for (int i = 0; i < 40; ++i) s += "\xE2\x82\xAC\xC3\xA9 ";
             return s;
         }(),
         {"x"}, "7bit"},
        {"SubjectOfOneOverlongWord", "a@example.org", "b@example.org", std::string(1500, 'w'), {"x"}, "7bit"},
        {"SubjectThatLooksEncoded", "a@example.org", "b@example.org", "=?utf-8?B?eA==?= literally", {"x"}, "7bit"},
        {"SubjectWithOuterBlanks", "a@example.org", "b@example.org", "  spaced  ", {"x"}, "7bit"},
        {"OverlongLineNeedsQuotedPrintable", "a@example.org", "b@example.org", "long",
         {std::string(2000, 'a'), "= and trailing ", std::string("nul\0byte", 8)}, "quoted-printable"},
    };
}

class MailMessageBuilt : public ::testing::TestWithParam<std::tuple<TBuiltCase, TFeed>> {};

TEST_P(MailMessageBuilt, ReadsBackWithTheSameFields) {
    const auto& [c, feed] = GetParam();
    TScopedTestClock clock(kSavedAt);
    TMailMessage built;
    built.GetFrom().SetText(c.from);
    built.Recipients.SetFromText(c.to);
    built.Subject = c.subject;
    built.Body = c.body;
    const std::string stored = built.SaveToString();

    const TMailMessage back = test::LoadMessage(stored, feed);
    EXPECT_EQ(back.FromList, built.FromList);
    EXPECT_EQ(back.Recipients, built.Recipients);
    EXPECT_EQ(back.Subject, built.Subject);
    EXPECT_EQ(back.Body, built.Body);
    EXPECT_TRUE(back.Parts.empty());
    EXPECT_NEAR(back.Date, DateTimeFromTimePoint(kSavedAt), kHalfSecond);
    EXPECT_EQ(back.Headers.Value("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(back.Headers.Value("Content-Transfer-Encoding"), c.transferEncoding);
    EXPECT_EQ(back.SaveToString(), stored); // read and saved: the same bytes
    // No line over 998 octets (RFC 5322 section 2.1.1), a stuffed dot aside.
    for (std::size_t pos = 0, end; (end = stored.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        EXPECT_LE(end - pos, 999u) << stored.substr(pos, 60);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailMessageBuilt,
                         ::testing::Combine(::testing::ValuesIn(BuiltCases()),
                                            ::testing::Values(TFeed::Whole, TFeed::ByteAtATime)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    test::FeedName(std::get<1>(info.param));
                         });

TEST(MailMessageBuilt, StoredFormHasStuffedDotsAndOneTerminatingLine) {
    TScopedTestClock clock(kSavedAt);
    TMailMessage built;
    built.GetFrom().Address = "a@example.org";
    built.Body = {"before", ".", "after"};
    const std::string stored = built.SaveToString();
    EXPECT_NE(stored.find("\r\nbefore\r\n..\r\nafter\r\n.\r\n"), std::string::npos);
    EXPECT_TRUE(stored.ends_with("after\r\n.\r\n"));
    // The terminating line's 3 bytes, and 1 for the one stuffed dot.
    EXPECT_EQ(stored.size(), built.SaveToRaw().size() + 3 + 1);
}

TEST(MailMessageBuilt, DateIsStampedAtEachWritingAndStaysZero) {
    TScopedTestClock clock(kSavedAt);
    TMailMessage built;
    built.Body = {"x"};
    const TMailMessage first = test::LoadMessage(built.SaveToString(), TFeed::Whole);
    clock.Advance(std::chrono::hours(1));
    const TMailMessage second = test::LoadMessage(built.SaveToString(), TFeed::Whole);
    EXPECT_EQ(built.Date, 0);
    EXPECT_NEAR(second.Date - first.Date, 1.0 / 24, kHalfSecond);
    EXPECT_FALSE(first.Headers.Value("Message-ID").empty());
}

const std::string kMultipart =
    CrLf("Received: from relay by mx", "From: Ann <ann@example.org>", "To: bob@example.net",
         "Bcc: hidden@example.net", "Subject: original", "Date: Thu, 10 Dec 2026 10:51:13 +0000",
         "X-Custom: kept", "MIME-Version: 1.0", "Content-Type: multipart/alternative; boundary=zz", "", "preamble",
         "--zz", "Content-Type: text/plain", "", "plain", "--zz", "Content-Type: text/html", "", "<b>html</b>",
         "--zz", "Content-Type: image/gif; name=a.gif", "Content-Transfer-Encoding: base64", "", "R0lGODlh",
         "--zz--", ".");

// What was received is kept whole, Bcc line included: an inbox file is the
// only copy of the message once the server copy is deleted.
TEST(MailMessageRead, UnchangedSavesItsOwnTextByteForByte) {
    TMailMessage msg = test::LoadMessage(kMultipart, TFeed::Whole);
    msg.GetFrom();                          // reading the From item is no change
    msg.BccList.Add().Address = "extra@x";  // never written: no change either
    EXPECT_FALSE(msg.IsChanged());
    EXPECT_EQ(msg.SaveToString(), kMultipart);
}

TEST(MailMessageRead, ChangedIsGeneratedFromItsFields) {
    TScopedTestClock clock(kSavedAt);
    TMailMessage msg = test::LoadMessage(kMultipart, TFeed::Whole);
    msg.Subject = "changed \xE2\x9C\x93";
    ASSERT_TRUE(msg.IsChanged());
    const std::string stored = msg.SaveToString();
    EXPECT_EQ(stored.find("Bcc:"), std::string::npos);
    EXPECT_EQ(stored.find("boundary=zz"), std::string::npos);

    const TMailMessage back = test::LoadMessage(stored, TFeed::ByteAtATime);
    EXPECT_EQ(back.Subject, msg.Subject);
    EXPECT_EQ(back.FromList, msg.FromList);
    EXPECT_EQ(back.Recipients, msg.Recipients);
    EXPECT_EQ(back.Date, msg.Date);
    EXPECT_EQ(back.Body, msg.Body);
    EXPECT_EQ(back.Parts, msg.Parts);
    EXPECT_EQ(back.Headers.Values("Received"), (std::vector<std::string>{"from relay by mx"}));
    EXPECT_EQ(back.Headers.Value("X-Custom"), "kept");
    EXPECT_EQ(GetAttachmentNames(back), (std::vector<std::string>{"a.gif"}));
}

TEST(MailMessageRead, MarkChangedForcesGeneration) {
    TMailMessage msg = test::LoadMessage(kMultipart, TFeed::Whole);
    msg.MarkChanged();
    EXPECT_TRUE(msg.IsChanged());
    EXPECT_EQ(msg.SaveToString().find("boundary=zz"), std::string::npos);
}

TEST(MailMessageRead, NonAsciiAttachmentNameSurvivesGeneration) {
    TMailMessage msg;
    msg.GetFrom().Address = "a@example.org";
    msg.Body = {};
    TMessagePart text;
    text.Kind = TPartKind::Text;
    text.ContentType = "text/plain";
    text.Lines = {"see attached", ""};
    TMessagePart file;
    file.ContentType = "application/pdf";
    file.FileName = "R\xC3\xA9sum\xC3\xA9 \"2026\".pdf";
    file.Content = std::string("\0\1binary\r\n\xFF", 11);
    msg.Parts = {text, file};
    const TMailMessage back = test::LoadMessage(msg.SaveToString(), TFeed::Whole);
    EXPECT_EQ(back.Parts, msg.Parts);
}

} // namespace
} // namespace bm
