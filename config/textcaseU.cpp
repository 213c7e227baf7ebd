#include "config/textcaseU.h"

#include <QString>
#include <QStringDecoder>

namespace bm {

namespace {

bool IsAscii(std::string_view text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

} // namespace

std::string LowerText(std::string_view text) {
    if (IsAscii(text))
        return LowerAscii(text);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
    if (decoder.hasError())
        return LowerAscii(text);
    return decoded.toLower().toStdString();
}

bool SameTextIgnoringCase(std::string_view a, std::string_view b) {
    if (IsAscii(a) && IsAscii(b)) {
        if (a.size() != b.size())
            return false;
        return LowerAscii(a) == LowerAscii(b);
    }
    return LowerText(a) == LowerText(b);
}

} // namespace bm
