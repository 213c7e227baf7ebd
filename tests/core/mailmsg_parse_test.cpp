// Parsing tricky messages into the fields of TMailMessage, each fed whole and
// a byte at a time; every message read and saved again gives back its bytes.

#include "core/mailmsgU.h"
#include "core/msghelpersU.h"

#include "mailmsg_support.h"

#include <gtest/gtest.h>

#include <functional>

namespace bm {
namespace {

using test::CrLf;
using test::TFeed;

struct TParseCase {
    const char* name;
    std::string stored;
    std::function<void(const TMailMessage&)> check;
    bool roundTripsExactly = true; // SaveToString gives the input back
};

void PrintTo(const TParseCase& c, std::ostream* os) { *os << c.name; }

std::vector<TParseCase> ParseCases() {
    std::vector<TParseCase> cases;
    cases.push_back({"SimpleMessage",
                     CrLf("Received: from a by b", "Received: from c", "\tby d", "From: Ann Example <ann@example.org>",
                          "To: bob@example.net, \"Doe, Carl\" <carl@example.net>", "Cc: dan@example.com",
                          "Subject: Hello there", "Date: Thu, 10 Dec 2026 10:51:13 +0000", "", "Line one",
                          "..leading dot", "", "last", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.FromList.Count(), 1u);
                         EXPECT_EQ(m.FromList[0].Name, "Ann Example");
                         EXPECT_EQ(m.FromList[0].Address, "ann@example.org");
                         ASSERT_EQ(m.Recipients.Count(), 2u);
                         EXPECT_EQ(m.Recipients[1].Name, "Doe, Carl");
                         EXPECT_EQ(m.CCList[0].Address, "dan@example.com");
                         EXPECT_EQ(m.Subject, "Hello there");
                         EXPECT_EQ(m.Date, UnixToDateTime(1796899873));
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"Line one", ".leading dot", "", "last"}));
                         EXPECT_TRUE(m.Parts.empty());
                         EXPECT_EQ(m.Headers.Values("received"),
                                   (std::vector<std::string>{"from a by b", "from c\tby d"}));
                         EXPECT_EQ(m.Headers.Count(), 7u);
                     }});
    cases.push_back({"NestedMultipart",
                     CrLf("From: a@example.org", "Subject: nested", "MIME-Version: 1.0",
                          "Content-Type: multipart/mixed; boundary=\"outer\"", "", "This is the preamble.", "--outer",
                          "Content-Type: multipart/alternative; boundary=inner", "", "--inner",
                          "Content-Type: text/plain; charset=us-ascii", "", "plain text", "--inner",
                          "Content-Type: text/html; charset=utf-8", "Content-Transfer-Encoding: quoted-printable", "",
                          "<p>caf=C3=A9</p>", "--inner--", "--outer",
                          "Content-Type: application/pdf", "Content-Transfer-Encoding: base64",
                          "Content-Disposition: attachment; filename=\"doc.pdf\"", "", "JVBERi0xLjQK", "--outer--",
                          "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"This is the preamble."}));
                         ASSERT_EQ(m.Parts.size(), 3u);
                         EXPECT_EQ(m.Parts[0].Kind, TPartKind::Text);
                         EXPECT_EQ(m.Parts[0].ContentType, "text/plain");
                         EXPECT_EQ(m.Parts[0].Lines, (std::vector<std::string>{"plain text"}));
                         EXPECT_EQ(m.Parts[1].ContentType, "text/html");
                         EXPECT_EQ(m.Parts[1].Lines, (std::vector<std::string>{"<p>caf\xC3\xA9</p>"}));
                         EXPECT_EQ(m.Parts[2].Kind, TPartKind::Attachment);
                         EXPECT_EQ(m.Parts[2].FileName, "doc.pdf");
                         EXPECT_EQ(m.Parts[2].Content, "%PDF-1.4\n");
                         EXPECT_EQ(GetMessageText(m), (std::vector<std::string>{"<p>caf\xC3\xA9</p>"}));
                     }});
    cases.push_back({"EncodedWordsInSeveralCharsets",
                     CrLf("From: =?windows-1252?B?R3L832U=?= <g@example.org>",
                          "To: =?utf-8?B?SsO2cmcgTcO8bGxlcg==?= <j@example.org>",
                          "Subject: =?koi8-r?B?8NLJ18XU?= =?iso-8859-1?Q?J=F6rg?= and =?shift_jis?B?k/qWe4zq?=",
                          "", "x", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.FromList[0].Name, "Gr\xC3\xBC\xC3\x9F" "e");
                         EXPECT_EQ(m.Recipients[0].Name, "J\xC3\xB6rg M\xC3\xBCller");
                         EXPECT_EQ(m.Subject, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82J\xC3\xB6rg and "
                                              "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E");
                     }});
    cases.push_back({"EightBitHeaders",
                     CrLf("From: Ren\xE9 <rene@example.org>", "Subject: Caf\xE9 \x80 5", "X-Utf8: d\xC3\xA9j\xC3\xA0",
                          "", "body", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.FromList[0].Name, "Ren\xC3\xA9");
                         EXPECT_EQ(m.Subject, "Caf\xC3\xA9 \xE2\x82\xAC 5");
                         EXPECT_EQ(m.Headers.Value("x-utf8"), "d\xC3\xA9j\xC3\xA0");
                     }});
    cases.push_back({"NoHeadersAtAll",
                     CrLf("Hello there", "second line", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Headers.Count(), 0u);
                         EXPECT_TRUE(m.FromList.Empty());
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"Hello there", "second line"}));
                         EXPECT_EQ(m.Date, 0);
                     }});
    cases.push_back({"EmptyHeaderBlock",
                     CrLf("", "only body", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Headers.Count(), 0u);
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"only body"}));
                     }});
    cases.push_back({"SingleDotBodyLine",
                     CrLf("Subject: dot", "", "..", "."),
                     [](const TMailMessage& m) { EXPECT_EQ(m.Body, (std::vector<std::string>{"."})); }});
    cases.push_back({"AttachmentNamedOnlyInContentType",
                     CrLf("Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain", "",
                          "hello", "--b", "Content-Type: image/png; name=\"pic.png\"",
                          "Content-Transfer-Encoding: base64", "", "iVBORw==", "--b--", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Parts.size(), 2u);
                         EXPECT_EQ(m.Parts[0].Kind, TPartKind::Text);
                         EXPECT_EQ(m.Parts[1].Kind, TPartKind::Attachment);
                         EXPECT_EQ(m.Parts[1].FileName, "pic.png");
                         EXPECT_EQ(m.Parts[1].Content, "\x89PNG");
                         EXPECT_EQ(GetAttachmentNames(m), (std::vector<std::string>{"pic.png"}));
                     }});
    cases.push_back({"UuencodedAttachmentInPlainBody",
                     CrLf("Subject: uu", "", "See the file.", "begin 644 hello.txt",
                          "82&5L;&\\L('5U96YC;V1E9\"!W;W)L9\"$*", "`", "end", "Bye.", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"See the file.", "Bye."}));
                         ASSERT_EQ(m.Parts.size(), 1u);
                         EXPECT_EQ(m.Parts[0].FileName, "hello.txt");
                         EXPECT_EQ(m.Parts[0].Content, "Hello, uuencoded world!\n");
                         EXPECT_EQ(GetMessageText(m), m.Body);
                     }});
    cases.push_back({"UuencodedBlocksInsideTextParts",
                     CrLf("Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain", "",
                          "first", "begin 644 a.txt", "#86)C", "`", "end", "begin 644 b.txt", "#86)C", "`", "end",
                          "--b", "Content-Type: text/plain", "", "second", "--b--", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Parts.size(), 4u);
                         EXPECT_EQ(m.Parts[0].Lines, (std::vector<std::string>{"first"}));
                         EXPECT_EQ(m.Parts[1].FileName, "a.txt");
                         EXPECT_EQ(m.Parts[1].Content, "abc");
                         EXPECT_EQ(m.Parts[2].FileName, "b.txt");
                         EXPECT_EQ(m.Parts[3].Lines, (std::vector<std::string>{"second"}));
                     }});
    cases.push_back({"XxencodedAttachmentInPlainBody",
                     CrLf("Subject: xx", "", "begin 600 data.bin", "HS5UUNKtXPqFZN0-WSLFZQk1z6E++", "+", "end", "."),
                     [](const TMailMessage& m) {
                         EXPECT_TRUE(m.Body.empty());
                         ASSERT_EQ(m.Parts.size(), 1u);
                         EXPECT_EQ(m.Parts[0].FileName, "data.bin");
                         EXPECT_EQ(m.Parts[0].Content, std::string("xx encoded bytes\0\xFF!", 19));
                     }});
    cases.push_back({"Rfc2231FileNameAndLatin1Text",
                     CrLf("Content-Type: multipart/mixed; boundary=b", "", "--b",
                          "Content-Type: text/plain; charset=iso-8859-1", "Content-Transfer-Encoding: quoted-printable",
                          "", "Gr=FC=DFe", "--b", "Content-Type: application/octet-stream",
                          "Content-Disposition: attachment;", " filename*0*=utf-8''R%C3%A9sum;", " filename*1=\"e.txt\"",
                          "", "raw", "--b--", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Parts.size(), 2u);
                         EXPECT_EQ(m.Parts[0].Lines, (std::vector<std::string>{"Gr\xC3\xBC\xC3\x9F" "e"}));
                         EXPECT_EQ(m.Parts[1].FileName, "R\xC3\xA9sume.txt");
                         EXPECT_EQ(m.Parts[1].Content, "raw");
                     }});
    cases.push_back({"NamelessTextAttachmentIsReadableText",
                     CrLf("Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: text/plain",
                          "Content-Disposition: attachment", "", "as attachment", "--b--", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Parts.size(), 1u);
                         EXPECT_EQ(m.Parts[0].Kind, TPartKind::Attachment);
                         EXPECT_EQ(m.Parts[0].FileName, "");
                         EXPECT_EQ(GetMessageText(m), (std::vector<std::string>{"as attachment"}));
                     }});
    cases.push_back({"SinglePartOfUnknownType",
                     CrLf("Content-Type: application/x-weird", "Content-Transfer-Encoding: base64", "", "AAEC", "."),
                     [](const TMailMessage& m) {
                         EXPECT_TRUE(m.Body.empty());
                         ASSERT_EQ(m.Parts.size(), 1u);
                         EXPECT_EQ(m.Parts[0].Kind, TPartKind::Attachment);
                         EXPECT_EQ(m.Parts[0].ContentType, "application/x-weird");
                         EXPECT_EQ(m.Parts[0].Content, std::string("\0\1\2", 3));
                     }});
    cases.push_back({"ForwardedMessageIsAnAttachment",
                     CrLf("Content-Type: multipart/mixed; boundary=b", "", "--b", "Content-Type: message/rfc822",
                          "Content-Disposition: attachment; filename=fwd.eml", "", "From: x@example.org",
                          "Subject: inner", "", "inner body", "--b--", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Parts.size(), 1u);
                         EXPECT_EQ(m.Parts[0].Kind, TPartKind::Attachment);
                         EXPECT_EQ(m.Parts[0].ContentType, "message/rfc822");
                         EXPECT_EQ(m.Parts[0].FileName, "fwd.eml");
                         TMailMessage inner;
                         inner.LoadFromRaw(m.Parts[0].Content);
                         EXPECT_EQ(inner.Subject, "inner");
                         EXPECT_EQ(inner.Body, (std::vector<std::string>{"inner body"}));
                     }});
    cases.push_back({"HeaderLineWithoutColonIsSkipped",
                     CrLf("Subject: kept", "this is no header", "X-Folded: one", "  two", "", "b", "."),
                     [](const TMailMessage& m) {
                         ASSERT_EQ(m.Headers.Count(), 2u);
                         EXPECT_EQ(m.Headers.Value("X-Folded"), "one  two");
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"b"}));
                     }});
    cases.push_back({"SenderReplyToAndGroup",
                     CrLf("From: a@example.org", "Sender: \"The List\" <list@example.org>",
                          "Reply-To: A <A@EXAMPLE.ORG>; other@example.org", "To: undisclosed-recipients:;", "", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Sender.Name, "The List");
                         EXPECT_EQ(m.Sender.Address, "list@example.org");
                         EXPECT_EQ(m.ReplyTo.Count(), 2u);
                         EXPECT_TRUE(m.Recipients.Empty());
                         EXPECT_EQ(GetSenderAddresses(m),
                                   (std::vector<std::string>{"a@example.org", "list@example.org", "other@example.org"}));
                         EXPECT_EQ(GetSenderKey(m), "a@example.org list@example.org other@example.org ");
                     }});
    cases.push_back({"BadDateAndNulBytes",
                     std::string("Date: yesterday-ish\r\nSubject: a\0b\r\n\r\nnul\0here\r\n.\r\n", 50),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Date, 0);
                         EXPECT_EQ(m.Body.size(), 1u);
                     }});
    // Not in the stored form: these come back normalised.
    cases.push_back({"MissingTerminatingLine", "Subject: cut\r\n\r\nno end",
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"no end"}));
                         EXPECT_EQ(m.SaveToString(), CrLf("Subject: cut", "", "no end", "."));
                     },
                     false});
    cases.push_back({"LoneLineEnds", "Subject: lf\n\nline1\rline2\n..dot\n.\n",
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.Body, (std::vector<std::string>{"line1", "line2", ".dot"}));
                         EXPECT_EQ(m.SaveToString(), CrLf("Subject: lf", "", "line1", "line2", "..dot", "."));
                     },
                     false});
    cases.push_back({"BccHeaderIsReadAndKeptInTheText",
                     CrLf("From: a@example.org", "Bcc: secret@example.org,", " other@example.org", "Subject: s", "",
                          "b", "."),
                     [](const TMailMessage& m) {
                         EXPECT_EQ(m.BccList.Count(), 2u);
                         EXPECT_EQ(m.SaveToString(), CrLf("From: a@example.org", "Bcc: secret@example.org,",
                                                          " other@example.org", "Subject: s", "", "b", "."));
                     },
                     false});
    return cases;
}

class MailMessageParse : public ::testing::TestWithParam<std::tuple<TParseCase, TFeed>> {};

TEST_P(MailMessageParse, GivesTheFieldsAndKeepsTheText) {
    const auto& [c, feed] = GetParam();
    const TMailMessage msg = test::LoadMessage(c.stored, feed);
    c.check(msg);
    EXPECT_FALSE(msg.IsChanged());
    if (c.roundTripsExactly) {
        EXPECT_EQ(msg.SaveToString(), c.stored);
    }
    // Fed a byte at a time the parser sees the same message.
    test::ExpectSameFields(msg, test::LoadMessage(c.stored, TFeed::Whole));
}

INSTANTIATE_TEST_SUITE_P(Cases, MailMessageParse,
                         ::testing::Combine(::testing::ValuesIn(ParseCases()),
                                            ::testing::Values(TFeed::Whole, TFeed::ByteAtATime)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    test::FeedName(std::get<1>(info.param));
                         });

} // namespace
} // namespace bm

namespace bm {
namespace {

struct TWordCase {
    const char* name;
    std::string raw;     // Subject value as written
    std::string decoded; // Subject read
};

void PrintTo(const TWordCase& c, std::ostream* os) { *os << c.name; }

const TWordCase kWordCases[] = {
    {"PaddedAdjacentBase64Words", "=?utf-8?B?SsO2cmc=?= =?utf-8?B?IE3DvGxsZXI=?=", "J\xC3\xB6rg M\xC3\xBCller"},
    {"CharacterSplitOverTwoWords", "=?utf-8?Q?=C3?=  =?utf-8?Q?=A9t=C3=A9?=", "\xC3\xA9t\xC3\xA9"},
    {"TextBetweenWordsKept", "=?utf-8?q?a?= b =?utf-8?q?c?=", "a b c"},
    {"UnderscoreIsBlankInQ", "=?ISO-8859-1?Q?a_b=3F?=", "a b?"},
    {"WordsOfTwoCharsets", "=?iso-8859-1?q?=E9?= =?koi8-r?B?8A==?=", "\xC3\xA9\xD0\x9F"},
    {"LanguageSuffixIgnored", "=?utf-8*en?q?hi?=", "hi"},
    {"EmptyWordBetweenBlanks", "x =?utf-8?B?" "?= y", "x  y"},
    {"MalformedWordsStayText", "=?utf-8?x?abc?= =?broken", "=?utf-8?x?abc?= =?broken"},
    {"UnknownCharsetFallsBack", "=?x-unknown?q?caf=E9?=", "caf\xC3\xA9"},
    {"InvalidBase64Skipped", "=?utf-8?B?S!!!sO2cmc=?=", "J\xC3\xB6rg"},
};

class MailMessageEncodedWords : public ::testing::TestWithParam<TWordCase> {};

TEST_P(MailMessageEncodedWords, DecodeInTheSubject) {
    const TWordCase& c = GetParam();
    const TMailMessage msg = test::LoadMessage(test::CrLf("Subject: " + c.raw, "", "."), test::TFeed::Whole);
    EXPECT_EQ(msg.Subject, c.decoded);
}

INSTANTIATE_TEST_SUITE_P(Cases, MailMessageEncodedWords, ::testing::ValuesIn(kWordCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace bm
