// Charset conversion of message text and the decoding of RFC 2047 encoded
// words in header text.
//
// The encoded words are decoded here rather than by GMime: GMime 3.2 joins
// the payloads of adjacent base64 words before decoding them, so a word that
// ends in "=" padding (as most mailers write them when they split a text at
// character boundaries) swallows every word after it.

#include "core/mailmsgimpl.h"

#include <glib.h>
#include <gmime/gmime.h>

namespace bm::mailimpl {

std::string CharsetToUtf8(const std::string& bytes, std::string_view charset) {
    const std::string name(charset.substr(0, charset.find('*'))); // RFC 2231 section 5 language
    if (name.empty() || EqualsNoCase(name, "us-ascii") || EqualsNoCase(name, "utf-8") ||
        EqualsNoCase(name, "utf8") || IsValidUtf8(bytes))
        return EnsureUtf8(bytes);
    const char* iconvName = g_mime_charset_iconv_name(name.c_str());
    gsize read = 0, written = 0;
    GError* error = nullptr;
    char* converted = g_convert(bytes.data(), static_cast<gssize>(bytes.size()), "UTF-8",
                                iconvName != nullptr ? iconvName : name.c_str(), &read, &written, &error);
    if (error != nullptr) g_error_free(error);
    if (converted == nullptr) return EnsureUtf8(bytes);
    std::string out(converted, written);
    g_free(converted);
    return EnsureUtf8(out);
}

namespace {

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// "B" encoding (RFC 2047 section 4.1); characters outside the alphabet are
// skipped, "=" ends the data.
std::string DecodeB(std::string_view text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') break;
        const int v = Base64Value(c);
        if (v < 0) continue;
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// "Q" encoding (RFC 2047 section 4.2): "_" is a blank, "=XX" a byte.
std::string DecodeQ(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct TEncodedWord {
    std::string_view Charset;
    std::string Bytes;    // the decoded payload, still in Charset
    std::size_t End = 0;  // offset after the closing "?="
};

// The encoded word "=?charset?B|Q?text?=" at text[pos], if one is there.
bool ReadEncodedWord(std::string_view text, std::size_t pos, TEncodedWord& word) {
    if (text.compare(pos, 2, "=?") != 0) return false;
    const std::size_t q1 = text.find('?', pos + 2);
    if (q1 == std::string_view::npos || q1 == pos + 2 || q1 + 2 >= text.size() || text[q1 + 2] != '?') return false;
    const char encoding = text[q1 + 1];
    if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q') return false;
    const std::size_t end = text.find("?=", q1 + 3);
    if (end == std::string_view::npos) return false;
    const std::string_view payload = text.substr(q1 + 3, end - q1 - 3);
    if (payload.find_first_of(" \t") != std::string_view::npos) return false;
    word.Charset = text.substr(pos + 2, q1 - pos - 2);
    word.Bytes = (encoding == 'B' || encoding == 'b') ? DecodeB(payload) : DecodeQ(payload);
    word.End = end + 2;
    return true;
}

bool OnlyBlanks(std::string_view text) { return text.find_first_not_of(" \t") == std::string_view::npos; }

} // namespace

std::string DecodeHeaderText(std::string_view text) {
    if (text.find("=?") == std::string_view::npos) return std::string(text);
    std::string out;
    std::string pending;         // payload bytes of adjacent words in one charset
    std::string_view pendingCharset;
    std::size_t literalStart = 0; // text not yet copied
    bool afterWord = false;       // the text up to literalStart ended in a word
    const auto flush = [&] {
        if (!pending.empty()) out += CharsetToUtf8(pending, pendingCharset);
        pending.clear();
    };
    std::size_t pos = text.find("=?");
    while (pos != std::string_view::npos) {
        TEncodedWord word;
        if (!ReadEncodedWord(text, pos, word)) {
            pos = text.find("=?", pos + 1);
            continue;
        }
        const std::string_view between = text.substr(literalStart, pos - literalStart);
        // Blanks between two encoded words are not part of the text (RFC 2047
        // section 6.2); bytes of one charset are joined so that a character
        // split over two words decodes whole.
        const bool adjacent = afterWord && OnlyBlanks(between);
        if (!adjacent || !EqualsNoCase(word.Charset, pendingCharset)) flush();
        if (!adjacent) out += EnsureUtf8(between);
        pending += word.Bytes;
        pendingCharset = word.Charset;
        literalStart = word.End;
        afterWord = true;
        pos = text.find("=?", word.End);
    }
    flush();
    out += EnsureUtf8(text.substr(literalStart));
    return out;
}

} // namespace bm::mailimpl
