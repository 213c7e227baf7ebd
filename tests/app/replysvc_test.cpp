// The quick reply's text and addresses.
#include "tests/app/services_support.h"

namespace bm::test {
namespace {

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    EXPECT_EQ(at, text.size()) << "every line ends in CR LF";
    return lines;
}

TEST(QuickReplyText, ALongLineIsCutIntoQuotedPiecesOfAtMostSeventy)
{
    std::string line;
    while (line.size() < 150)
        line += "word" + std::to_string(line.size()) + " ";
    line.resize(150);
    const auto lines = SplitCrLf(QuoteReplyText("Ann", "01/02/2026 10:00:00", "Plans", {line}));
    ASSERT_GE(lines.size(), 2u + 3u);
    EXPECT_EQ(lines[0], "Ann wrote on 01/02/2026 10:00:00 concerning Plans:");
    EXPECT_EQ(lines[1], "");
    std::string rejoined;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].rfind(" > ", 0), 0u) << lines[i];
        EXPECT_LE(lines[i].size(), 70u) << lines[i];
        rejoined += (i > 2 ? " " : "") + lines[i].substr(3);
    }
    EXPECT_EQ(rejoined, line.substr(0, line.find_last_not_of(' ') + 1));
}

TEST(QuickReplyText, EmptyLinesStayEmptyAndALongWordIsCutAtTheMargin)
{
    const std::string word(100, 'x');
    const auto lines = SplitCrLf(QuoteReplyText("A", "d", "s", {"", word, "short"}));
    ASSERT_EQ(lines.size(), 2u + 4u);
    EXPECT_EQ(lines[2], "");
    EXPECT_EQ(lines[3], " > " + word.substr(0, 67));
    EXPECT_EQ(lines[4], " > " + word.substr(67));
    EXPECT_EQ(lines[5], " > short");
}

TEST(QuickReplyText, HtmlIsRecognisedByItsTags)
{
    EXPECT_TRUE(IsHtmlText("Hello<BR>there"));
    EXPECT_TRUE(IsHtmlText("<Div>x</div>"));
    EXPECT_FALSE(IsHtmlText("a < b and b > c"));
}

class ReplySvc : public ServiceTest {};

TEST_F(ReplySvc, TheReplyGoesFromTheAccountsAddressToTheSender)
{
    accounts.FindByName(account)->Outgoing().SetDefaultEMailAddress("me@example.org");
    const TInboxRow row = Deliver("r", RawMessage("ann@example.com", "Lunch", "x"), {"See you", ""});
    const TQuickReplyMail mail = core->QuickReply().ReplyTo(row, nullptr);
    EXPECT_EQ(mail.FromEmail, "me@example.org");
    EXPECT_EQ(mail.ToEmail, "ann@example.com");
    EXPECT_EQ(mail.Subject, "Re: Lunch");
    EXPECT_EQ(mail.TextToSend, "ann@example.com wrote on  concerning Lunch:\r\n\r\n > See you\r\n\r\n");
}

TEST_F(ReplySvc, AnHtmlTextIsMadeAWholeDocumentAndTurnedIntoPlainText)
{
    const TInboxRow row = Deliver("h", RawMessage("ann@example.com", "s", "x"), {"<b>Hi</b>", "there"});
    std::string given;
    const TQuickReplyMail mail = core->QuickReply().ReplyTo(row, [&](const std::string& html) {
        given = html;
        return std::string("Hi\r\nthere");
    });
    EXPECT_EQ(given, "<html><head></head><body><b>Hi</b>\r\nthere</body></html>");
    EXPECT_NE(mail.TextToSend.find(" > Hi\r\n > there\r\n"), std::string::npos);
}

TEST_F(ReplySvc, AQuarantinedMessageIsReadFromItsFile)
{
    const int id = Quarantine("qr", 0,
                              RawMessage("bob@example.com", "Offer", "Line one",
                                         "Date: Mon, 02 Mar 2026 12:00:00 +0000\r\n"));
    const TTrashRow row = core->QuarantineRows().back();
    ASSERT_EQ(row.ID, id);
    const TQuickReplyMail mail = core->QuickReply().ReplyTo(row, nullptr);
    EXPECT_EQ(mail.ToEmail, "bob@example.com");
    EXPECT_NE(mail.TextToSend.find(" wrote on 02/03/2026 "), std::string::npos) << mail.TextToSend;
    EXPECT_NE(mail.TextToSend.find(" > Line one\r\n"), std::string::npos);
}

} // namespace
} // namespace bm::test
