#include "proto/smtpreplyU.h"

#include <algorithm>
#include <cctype>

namespace bm {

namespace {

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

std::string Upper(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The blank-separated words of text.
std::vector<std::string> Words(std::string_view text)
{
    std::vector<std::string> words;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t start = text.find_first_not_of(" \t", pos);
        if (start == std::string_view::npos)
            break;
        std::size_t end = text.find_first_of(" \t", start);
        if (end == std::string_view::npos)
            end = text.size();
        words.emplace_back(text.substr(start, end - start));
        pos = end;
    }
    return words;
}

void ReadAuthMechanisms(const std::vector<std::string>& mechanisms, TSmtpCapabilities& caps)
{
    for (const std::string& m : mechanisms) {
        const std::string name = Upper(m);
        caps.AuthLogin = caps.AuthLogin || name == "LOGIN";
        caps.AuthPlain = caps.AuthPlain || name == "PLAIN";
    }
}

} // namespace

std::string TSmtpReply::Text() const
{
    std::string text;
    for (const std::string& line : Lines) {
        if (!text.empty())
            text += ' ';
        text += line;
    }
    return text;
}

std::string TSmtpReply::CodeAndText() const
{
    const std::string text = Text();
    return text.empty() ? std::to_string(Code) : std::to_string(Code) + ' ' + text;
}

std::string EnhancedStatusCode(const TSmtpReply& reply)
{
    if (reply.Lines.empty())
        return {};
    const std::string& line = reply.Lines.front();
    const std::string word = line.substr(0, line.find_first_of(" \t"));
    // class "." subject "." detail; subject and detail of 1 to 3 digits.
    if (word.size() < 5 || word[0] != static_cast<char>('0' + reply.Code / 100) || word[1] != '.')
        return {};
    const std::size_t dot = word.find('.', 2);
    if (dot == std::string::npos || dot == 2 || dot > 5 || word.size() - dot - 1 < 1 ||
        word.size() - dot - 1 > 3)
        return {};
    for (std::size_t i = 2; i < word.size(); ++i)
        if (i != dot && !IsDigit(word[i]))
            return {};
    return word;
}

std::string TextWithoutEnhancedCode(const TSmtpReply& reply)
{
    const std::string enhanced = EnhancedStatusCode(reply);
    std::string text = reply.Text();
    if (enhanced.empty())
        return text;
    const std::size_t start = text.find_first_not_of(' ', enhanced.size());
    return start == std::string::npos ? std::string() : text.substr(start);
}

bool LoginWouldCure(const TSmtpReply& reply)
{
    if (reply.Code == 530 || reply.Code == 535)
        return true;
    return (reply.Code == 550 || reply.Code == 554) && EnhancedStatusCode(reply).starts_with("5.7.");
}

ESmtpReplyError::ESmtpReplyError(TSmtpReply reply)
    : std::runtime_error(reply.Text().empty() ? std::to_string(reply.Code) : reply.Text()),
      reply_(std::move(reply))
{
}

bool TSmtpReplyParser::Feed(std::string_view line)
{
    const bool coded = line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2])
                       && (line.size() == 3 || line[3] == ' ' || line[3] == '-');
    if (!coded)
        throw ESmtpProtocolError("Invalid SMTP reply: " + std::string(line.substr(0, 200)));
    const int code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    // RFC 5321 §4.2.1: every line of a multi-line reply carries the same code.
    if (!reply_.Lines.empty() && code != reply_.Code)
        throw ESmtpProtocolError("Invalid SMTP reply: " + std::string(line.substr(0, 200)));
    if (reply_.Lines.size() >= maxLines_)
        throw ESmtpProtocolError("Invalid SMTP reply: more than " + std::to_string(maxLines_) + " lines");
    reply_.Code = code;
    reply_.Lines.emplace_back(line.size() > 4 ? line.substr(4) : std::string_view{});
    return line.size() == 3 || line[3] == ' ';
}

void TSmtpReplyParser::Reset()
{
    reply_ = {};
}

TSmtpCapabilities ReadCapabilities(const TSmtpReply& ehloReply)
{
    TSmtpCapabilities caps;
    for (std::size_t i = 1; i < ehloReply.Lines.size(); ++i) {
        std::vector<std::string> words = Words(ehloReply.Lines[i]);
        if (words.empty())
            continue;
        const std::string keyword = Upper(words.front());
        if (keyword == "STARTTLS") {
            caps.StartTls = true;
        } else if (keyword == "AUTH") {
            ReadAuthMechanisms({words.begin() + 1, words.end()}, caps);
        } else if (keyword.starts_with("AUTH=")) {
            // The pre-standard form some servers still send besides "AUTH".
            words.front() = words.front().substr(5);
            ReadAuthMechanisms(words, caps);
        }
    }
    return caps;
}

std::string CompleteStoredText(std::string_view stored)
{
    if (stored == ".\r\n" || stored.ends_with("\r\n.\r\n"))
        return std::string(stored);
    std::string out(stored);
    if (!out.empty() && !out.ends_with("\r\n"))
        out += "\r\n";
    out += ".\r\n";
    return out;
}

std::string StuffRawText(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size() + raw.size() / 64 + 8);
    bool lineStart = true;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')
                ++i;
            out += "\r\n";
            lineStart = true;
            continue;
        }
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = false;
    }
    if (!lineStart)
        out += "\r\n";
    out += ".\r\n";
    return out;
}

bool ContainsIgnoringCase(std::string_view text, std::string_view needle)
{
    if (needle.empty())
        return false;
    const auto it = std::search(text.begin(), text.end(), needle.begin(), needle.end(),
                                [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
    return it != text.end();
}

} // namespace bm
