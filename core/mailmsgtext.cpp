// Text-level helpers of the mail message model: line splitting, character
// set repair, the stored message text form and the raw header block.

#include "core/mailmsgimpl.h"

#include <algorithm>
#include <streambuf>

namespace bm::mailimpl {

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.emplace_back(text.substr(start, i - start));
        i += (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < text.size()) lines.emplace_back(text.substr(start));
    return lines;
}

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 (RFC 3629 section 4).
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

void AppendUtf8(std::string& out, unsigned code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Windows-1252 0x80..0x9F; the five undefined positions map to the C1 control
// of the same number, as the Windows conversion does.
constexpr unsigned short kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

bool IsValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t n = Utf8SequenceLength(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c >= 0x80 && c <= 0x9F) AppendUtf8(out, kCp1252High[c - 0x80]);
        else AppendUtf8(out, c);
    }
    return out;
}

std::string EnsureUtf8(std::string_view bytes) {
    if (IsValidUtf8(bytes)) return std::string(bytes);
    return Cp1252ToUtf8(bytes);
}

namespace {
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }
} // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(LowerAscii(a[i]));
        const auto y = static_cast<unsigned char>(LowerAscii(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string ToLowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = LowerAscii(c);
    return out;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::string_view Utf8Prefix(std::string_view text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    // Step back over continuation bytes to the start of the cut sequence.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut);
}

// --- Stored form ---------------------------------------------------------------

namespace {

// Appends one line of the stored form to raw, un-stuffed (RFC 1939 section 3).
void AppendStoredLine(std::string& raw, std::string_view line) {
    if (!line.empty() && line.front() == '.') line.remove_prefix(1);
    raw.append(line);
    raw.append("\r\n");
}

std::string TooLargeMessage(std::size_t maxBytes) {
    return "Message is larger than " + std::to_string(maxBytes) + " bytes";
}

} // namespace

std::string ReadStoredForm(std::streambuf* in, std::size_t maxBytes) {
    using Traits = std::streambuf::traits_type;
    std::string raw;
    std::string line;
    if (in == nullptr) return raw;
    std::size_t count = 0;
    for (;;) {
        const Traits::int_type got = in->sbumpc();
        if (Traits::eq_int_type(got, Traits::eof())) break;
        if (++count > maxBytes) throw TMailMessageError(TooLargeMessage(maxBytes));
        const char c = Traits::to_char_type(got);
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        // A lone CR or LF ends a line as CR LF does; the LF of a CR LF is
        // taken only when it is there, so nothing past the line is read.
        if (c == '\r' && Traits::eq_int_type(in->sgetc(), Traits::to_int_type('\n'))) {
            in->sbumpc();
            ++count;
        }
        if (line == ".") return raw;
        AppendStoredLine(raw, line);
        line.clear();
    }
    // End of input without the terminating line: keep what came.
    if (!line.empty() && line != ".") AppendStoredLine(raw, line);
    return raw;
}

std::string NormaliseLineEnds(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() + 2);
    for (const std::string& line : SplitLines(raw)) {
        out.append(line);
        out.append("\r\n");
    }
    return out;
}

std::string StuffAndTerminate(std::string_view raw) {
    std::string out;
    out.reserve(raw.size() + raw.size() / 64 + 3);
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find("\r\n", start);
        end = (end == std::string_view::npos) ? raw.size() : end + 2;
        if (raw[start] == '.') out += '.';
        out.append(raw.substr(start, end - start));
        start = end;
    }
    if (!out.empty() && out.back() != '\n') out.append("\r\n");
    out.append(".\r\n");
    return out;
}

// --- Header block ----------------------------------------------------------------

namespace {

enum class TLineKind { End, Continuation, Field, Invalid };

// Classifies one header-block line (without its CR LF). For a field, nameLen
// is the name's length (trailing blanks before the colon excluded, as the
// obsolete syntax of RFC 5322 section 4.5 allows) and valueStart the offset
// after the colon and its blanks.
TLineKind ClassifyLine(std::string_view line, std::size_t& nameLen, std::size_t& valueStart) {
    if (line.empty()) return TLineKind::End;
    if (line.front() == ' ' || line.front() == '\t') return TLineKind::Continuation;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return TLineKind::Invalid;
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (name.empty()) return TLineKind::Invalid;
    for (const char c : name) // RFC 5322 section 3.6.8 ftext
        if (static_cast<unsigned char>(c) < 33 || static_cast<unsigned char>(c) > 126)
            return TLineKind::Invalid;
    nameLen = name.size();
    valueStart = colon + 1;
    while (valueStart < line.size() && (line[valueStart] == ' ' || line[valueStart] == '\t'))
        ++valueStart;
    return TLineKind::Field;
}

// The line at pos of a text whose lines end in CR LF (the last may lack it);
// next receives the offset of the following line.
std::string_view LineAt(std::string_view raw, std::size_t pos, std::size_t& next) {
    const std::size_t end = raw.find("\r\n", pos);
    if (end == std::string_view::npos) {
        next = raw.size();
        return raw.substr(pos);
    }
    next = end + 2;
    return raw.substr(pos, end - pos);
}

// True when the first line opens no header block: it is neither a field nor
// an mbox "From " separator line, so the whole text is body.
bool HasNoHeaderBlock(std::string_view raw) {
    std::size_t next = 0, nameLen = 0, valueStart = 0;
    const std::string_view first = LineAt(raw, 0, next);
    if (first.starts_with("From ")) return false;
    return ClassifyLine(first, nameLen, valueStart) != TLineKind::Field &&
           ClassifyLine(first, nameLen, valueStart) != TLineKind::End;
}

void AppendCapped(std::string& value, std::string_view more, std::size_t maxLine) {
    if (value.size() >= maxLine) return;
    value.append(more.substr(0, maxLine - value.size()));
}

} // namespace

THeaderBlock SplitHeaderBlock(std::string_view raw, std::size_t maxBlock, std::size_t maxLine) {
    THeaderBlock block;
    if (raw.empty() || HasNoHeaderBlock(raw)) return block;
    std::size_t pos = 0;
    bool inField = false; // the previous line belongs to the last field kept
    while (pos < raw.size()) {
        std::size_t next = 0, nameLen = 0, valueStart = 0;
        const std::string_view line = LineAt(raw, pos, next);
        const TLineKind kind = ClassifyLine(line, nameLen, valueStart);
        if (kind == TLineKind::End) {
            block.BodyStart = next;
            return block;
        }
        // A line that starts within the limit is kept (cut to maxLine), so
        // what is kept never exceeds maxBlock + maxLine bytes.
        const bool withinLimit = pos < maxBlock;
        if (kind == TLineKind::Field && withinLimit) {
            block.Fields.push_back({std::string(line.substr(0, nameLen)), {}, raw.substr(pos, next - pos)});
            AppendCapped(block.Fields.back().Value, line.substr(valueStart), maxLine);
            inField = true;
        } else if (kind == TLineKind::Continuation && inField && withinLimit) {
            TRawHeader& field = block.Fields.back();
            AppendCapped(field.Value, line, maxLine); // unfolding drops only the CR LF
            field.Raw = raw.substr(field.Raw.data() - raw.data(), next - (field.Raw.data() - raw.data()));
        } else {
            inField = false;
        }
        pos = next;
    }
    block.BodyStart = raw.size();
    return block;
}

} // namespace bm::mailimpl
