// Feeds arbitrary bytes to the SMTP client's reply parser, line by line as the
// connection hands them over, and through the DATA text layout: the parser
// must end every reply with a result or ESmtpProtocolError, and the DATA text
// of a raw text must read back (unstuffed) as that text with CR LF lines.
#include "proto/smtpreplyU.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

void FeedReplies(std::string_view input)
{
    bm::TSmtpReplyParser parser(50);
    std::size_t pos = 0;
    while (pos < input.size()) {
        std::size_t end = input.find('\n', pos);
        if (end == std::string_view::npos)
            end = input.size();
        try {
            if (parser.Feed(input.substr(pos, end - pos))) {
                Check(parser.Reply().Code >= 0 && parser.Reply().Code <= 999);
                (void)bm::ReadCapabilities(parser.Reply());
                parser.Reset();
            }
        } catch (const bm::ESmtpProtocolError&) {
            parser.Reset();
        }
        pos = end + 1;
    }
}

// The lines of text with every line end made CR LF, as the receiver sees them.
std::string Normalised(std::string_view text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            out += "\r\n";
        } else {
            out += text[i];
        }
    }
    if (!out.empty() && !out.ends_with("\r\n"))
        out += "\r\n";
    return out;
}

// RFC 5321 §4.5.2 from the receiving side.
std::string Unstuffed(std::string_view data)
{
    Check(data.ends_with(".\r\n"));
    std::string out;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t end = data.find("\r\n", pos);
        Check(end != std::string_view::npos);
        std::string_view line = data.substr(pos, end - pos);
        if (line == ".") {
            Check(end + 2 == data.size());
            return out;
        }
        if (line.starts_with('.'))
            line.remove_prefix(1);
        out.append(line).append("\r\n");
        pos = end + 2;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    FeedReplies(input);
    Check(Unstuffed(bm::StuffRawText(input)) == Normalised(input));
    const std::string stored = bm::CompleteStoredText(input);
    Check(stored.ends_with(".\r\n"));
    return 0;
}
