// Uuencoded and xxencoded attachments inside a plain message body: the
// "begin <mode> <name>" ... "end" blocks that mailers wrote before MIME
// (POSIX uuencode; xxencode uses another 64-character alphabet).

#include "core/mailmsgimpl.h"

#include <cstring>
#include <optional>

namespace bm::mailimpl {

namespace {

constexpr std::string_view kXxAlphabet =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// The file name of a "begin 644 name" line (three or four octal digits), or
// nothing when the line opens no block.
std::optional<std::string> BeginLineName(std::string_view line) {
    if (!line.starts_with("begin ")) return std::nullopt;
    std::string_view rest = line.substr(6);
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '7') ++digits;
    if (digits < 3 || digits > 4 || digits >= rest.size() || rest[digits] != ' ')
        return std::nullopt;
    const std::string_view name = TrimBlanks(rest.substr(digits + 1));
    if (name.empty()) return std::nullopt;
    return std::string(name);
}

bool IsEndLine(std::string_view line) { return TrimBlanks(line) == "end"; }

// A line of xxencode holds characters that uuencode (0x20..0x60) never writes.
bool LooksXxEncoded(const std::vector<std::string>& lines, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        for (const char c : lines[i])
            if (c >= 'a' && c <= 'z') return true;
    return false;
}

int DecodeChar(char c, bool xx) {
    if (xx) {
        const std::size_t at = kXxAlphabet.find(c);
        return at == std::string_view::npos ? 0 : static_cast<int>(at);
    }
    return (static_cast<unsigned char>(c) - 0x20) & 0x3F;
}

// Decodes one data line: its first character counts the bytes, each further
// four characters give three bytes. Characters missing at the end read as 0.
void DecodeLine(std::string_view line, bool xx, std::string& out) {
    if (line.empty()) return;
    const int count = DecodeChar(line[0], xx);
    line.remove_prefix(1);
    int written = 0;
    for (std::size_t i = 0; written < count; i += 4) {
        int v[4];
        for (std::size_t k = 0; k < 4; ++k) v[k] = i + k < line.size() ? DecodeChar(line[i + k], xx) : 0;
        const unsigned char bytes[3] = {static_cast<unsigned char>((v[0] << 2) | (v[1] >> 4)),
                                        static_cast<unsigned char>((v[1] << 4) | (v[2] >> 2)),
                                        static_cast<unsigned char>((v[2] << 6) | v[3])};
        for (int k = 0; k < 3 && written < count; ++k, ++written) out += static_cast<char>(bytes[k]);
        if (i >= line.size()) break; // a count beyond the characters given
    }
}

} // namespace

void ExtractUuBlocks(std::vector<std::string>& lines, std::vector<TMessagePart>& parts,
                     std::size_t maxParts) {
    // nextEnd[k]: the first "end" line at or after k (lines.size() if none),
    // so that many "begin" lines without an end cost no rescans.
    std::vector<std::size_t> nextEnd(lines.size() + 1, lines.size());
    for (std::size_t k = lines.size(); k-- > 0;)
        nextEnd[k] = IsEndLine(lines[k]) ? k : nextEnd[k + 1];
    std::vector<std::string> kept;
    kept.reserve(lines.size());
    std::size_t i = 0;
    while (i < lines.size()) {
        const std::optional<std::string> name = BeginLineName(lines[i]);
        const std::size_t end = nextEnd[i + 1];
        if (!name || end >= lines.size() || parts.size() >= maxParts) {
            kept.push_back(std::move(lines[i]));
            ++i;
            continue;
        }
        const bool xx = LooksXxEncoded(lines, i + 1, end);
        TMessagePart part;
        part.Kind = TPartKind::Attachment;
        part.ContentType = "application/octet-stream";
        part.FileName = EnsureUtf8(*name);
        for (std::size_t k = i + 1; k < end; ++k) DecodeLine(lines[k], xx, part.Content);
        parts.push_back(std::move(part));
        i = end + 1;
    }
    lines = std::move(kept);
}

} // namespace bm::mailimpl
