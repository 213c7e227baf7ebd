// Hostile and broken input: the parser stays within its limits, never fails
// on malformed text and reads nothing past its message.

#include "core/mailmsgU.h"
#include "core/msghelpersU.h"

#include "mailmsg_support.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace bm {
namespace {

using test::CrLf;
using test::TFeed;

std::string ManyParts(int count) {
    std::string text = CrLf("Content-Type: multipart/mixed; boundary=p", "");
    for (int i = 0; i < count; ++i) text += CrLf("--p", "Content-Type: application/octet-stream", "", "x");
    return text + CrLf("--p--", ".");
}

std::string DeepNesting(int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i)
        text += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\r\n\r\n--b" + std::to_string(i) +
                "\r\n";
    return text + CrLf("Content-Type: text/plain", "", "deep leaf", ".");
}

struct THostileCase {
    const char* name;
    std::string stored;
    std::function<void(const TMailMessage&)> check;
};

void PrintTo(const THostileCase& c, std::ostream* os) { *os << c.name; }

std::vector<THostileCase> HostileCases() {
    std::vector<THostileCase> cases;
    cases.push_back({"TenThousandPartsCappedAtTheLimit", ManyParts(10000),
                     [](const TMailMessage& m) { EXPECT_EQ(m.Parts.size(), TMessageLimits{}.MaxParts); }});
    cases.push_back({"DeepNestingStopsSplitting", DeepNesting(3000), [](const TMailMessage& m) {
                         EXPECT_LE(m.Parts.size(), 1u);
                     }});
    cases.push_back({"EndlessHeaderLineIsCut", "Subject: " + std::string(3 << 20, 'a') + "\r\nX-After: no\r\n\r\nbody\r\n",
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Subject.size(), TMessageLimits{}.MaxHeaderLineBytes);
                         EXPECT_EQ(m.Headers.Value("X-After"), ""); // beyond the header block limit
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"body"}));
                     }});
    cases.push_back({"HugeHeaderBlockIsCapped",
                     [] {
                         std::string text;
                         for (int i = 0; i < 60000; ++i) text += "X-Spam-" + std::to_string(i) + ": filler filler\r\n";
                         return text + CrLf("", "body", ".");
                     }(),
                     [](const TMailMessage& m) {
                         EXPECT_GT(m.Headers.Count(), 1000u);
                         EXPECT_LT(m.Headers.Count(), 60000u);
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"body"}));
                     }});
    cases.push_back({"TruncatedHeaders", "From: a@example.org\r\nSubject: cut off in the mid",
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Subject, "cut off in the mid");
                         EXPECT_TRUE(m.Body.empty());
                     }});
    cases.push_back({"InvalidBase64",
                     CrLf("Content-Type: application/zip", "Content-Transfer-Encoding: base64", "", "!!!*==@@@=QQ==Q",
                          "\x80\xFF", "."),
                     [](const TMailMessage& m) { ASSERT_EQ(m.Parts.size(), 1u); }});
    cases.push_back({"EmptyAndMissingBoundaries",
                     CrLf("Content-Type: multipart/mixed; boundary=\"\"", "", "--", "Content-Type: text/plain", "", "a",
                          "----", "."),
                     [](const TMailMessage&) {}});
    cases.push_back({"BoundaryPrefixOfNestedBoundary",
                     CrLf("Content-Type: multipart/mixed; boundary=a", "", "--a",
                          "Content-Type: multipart/mixed; boundary=ab", "", "--ab", "Content-Type: text/plain", "",
                          "inner", "--a", "Content-Type: text/plain", "", "outer", "--a--", "."),
                     [](const TMailMessage& m) { EXPECT_GE(m.Parts.size(), 1u); }});
    cases.push_back({"UnclosedMultipart",
                     CrLf("Content-Type: multipart/mixed; boundary=q", "", "--q", "Content-Type: text/plain", "",
                          "never closed"),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Parts.size(), 1u);
                         EXPECT_EQ(m.Parts[0].Lines, (std::vector<std::string>{"never closed"}));
                     }});
    cases.push_back({"NulBytesEverywhere", [] {
                         static const char bytes[] = "Fr\0m: a\0@b\r\n\0\r\n\0\0\0\r\n";
                         return std::string(bytes, sizeof bytes - 1);
                     }(),
                     [](const TMailMessage&) {}});
    cases.push_back({"ManyBeginLinesWithoutEnd",
                     [] {
                         std::string text = "\r\n";
                         for (int i = 0; i < 50000; ++i) text += "begin 644 f\r\n";
                         return text;
                     }(),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Body.size(), 50000u);
                         EXPECT_TRUE(m.Parts.empty());
                     }});
    cases.push_back({"DateBeyondTheClock", CrLf("Date: Thu, 10 Dec 9039 10:51:13 +0000", "", "."),
                     [](const TMailMessage& m) { EXPECT_EQ(m.Date, 0); }});
    cases.push_back({"OnlyTheTerminatingLine", ".\r\n", [](const TMailMessage& m) {
                         EXPECT_TRUE(m.Body.empty());
                         EXPECT_EQ(m.Headers.Count(), 0u);
                         EXPECT_EQ(m.SaveToString(), ".\r\n");
                     }});
    cases.push_back({"EmptyInput", "", [](const TMailMessage& m) { EXPECT_EQ(m.SaveToString(), ".\r\n"); }});
    return cases;
}

class MailMessageHostile : public ::testing::TestWithParam<std::tuple<THostileCase, TFeed>> {};

TEST_P(MailMessageHostile, ParsesWithinLimits) {
    const auto& [c, feed] = GetParam();
    const TMailMessage msg = test::LoadMessage(c.stored, feed);
    c.check(msg);
    GetMessageText(msg);
    // Whatever was read can be written and read again.
    test::LoadMessage(msg.SaveToString(), TFeed::Whole);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailMessageHostile,
                         ::testing::Combine(::testing::ValuesIn(HostileCases()),
                                            ::testing::Values(TFeed::Whole, TFeed::ByteAtATime)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    test::FeedName(std::get<1>(info.param));
                         });

TEST(MailMessageLimits, OverlongMessageIsAnError) {
    TMessageLimits limits;
    limits.MaxMessageBytes = 100;
    TMailMessage msg;
    msg.Subject = "stale";
    try {
        msg.LoadFromString(std::string(200, 'x'), limits);
        FAIL() << "no error";
    } catch (const TMailMessageError& e) {
        EXPECT_STREQ(e.what(), "Message is larger than 100 bytes");
    }
    EXPECT_EQ(msg.Subject, "");
}

TEST(MailMessageStream, ReadsNothingPastTheTerminatingLine) {
    const std::string first = CrLf("Subject: one", "", "1", ".");
    const std::string second = CrLf("Subject: two", "", "2", ".");
    const std::string both = first + second;
    test::TOneByteBuf buf(both);
    std::istream in(&buf);
    TMailMessage msg;
    msg.LoadFromStream(in);
    EXPECT_EQ(msg.Subject, "one");
    EXPECT_EQ(buf.Consumed(), first.size());
    msg.LoadFromStream(in);
    EXPECT_EQ(msg.Subject, "two");
    EXPECT_EQ(msg.Body, (std::vector<std::string>{"2"}));
}

TEST(MailMessageThreads, SeveralThreadsParseAtOnce) {
    const std::string text = CrLf("From: =?iso-8859-1?q?J=F6rg?= <j@example.org>", "Subject: =?koi8-r?B?8NLJ18XU?=",
                                  "Content-Type: multipart/mixed; boundary=b", "", "--b",
                                  "Content-Type: text/plain; charset=iso-8859-1", "", "Gr\xFC\xDF" "e", "--b",
                                  "Content-Type: image/png; name=p.png", "Content-Transfer-Encoding: base64", "",
                                  "iVBORw==", "--b--", ".");
    const TMailMessage expected = test::LoadMessage(text, TFeed::Whole);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                TMailMessage msg;
                msg.LoadFromString(text);
                if (msg.Subject != expected.Subject || msg.Parts != expected.Parts ||
                    msg.FromList != expected.FromList || msg.SaveToString() != text)
                    ++mismatches[static_cast<std::size_t>(t)];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(mismatches, (std::vector<int>{0, 0, 0, 0}));
}

TEST(MailMessageFile, MissingFileIsAnError) {
    test::TempDir dir;
    const std::filesystem::path file = dir.path() / "none.msg";
    TMailMessage msg;
    try {
        msg.LoadFromFile(file);
        FAIL() << "no error";
    } catch (const TMailMessageError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot load message from file " + file.string());
    }
}

TEST(MailMessageFile, LoadsAFileAndSavesAnAttachment) {
    test::TempDir dir;
    const std::string text = CrLf("Content-Type: multipart/mixed; boundary=b", "", "--b",
                                  "Content-Type: application/octet-stream; name=a.bin",
                                  "Content-Transfer-Encoding: base64", "", "AAECAw==", "--b--", ".");
    test::WriteFileBytes(dir.path() / "in.msg", text);
    TMailMessage msg;
    msg.LoadFromFile(dir.path() / "in.msg");
    ASSERT_EQ(msg.Parts.size(), 1u);
    msg.Parts[0].SaveContentToFile(dir.path() / "a.bin");
    EXPECT_EQ(test::ReadFileBytes(dir.path() / "a.bin"), std::string("\0\1\2\3", 4));
    const std::filesystem::path bad = dir.path() / "missing" / "a.bin";
    try {
        msg.Parts[0].SaveContentToFile(bad);
        FAIL() << "no error";
    } catch (const TMailMessageError& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot save attachment to file " + bad.string());
    }
}

} // namespace
} // namespace bm
