#include "core/streamU.h"

#include <cstring>

namespace bm {

namespace {

std::string TruncatedMessage(std::size_t wanted, std::size_t position, std::size_t size)
{
    return "Stream read beyond end: " + std::to_string(wanted) + " bytes wanted at position "
        + std::to_string(position) + " of " + std::to_string(size);
}

} // namespace

void TByteReader::Seek(std::size_t position)
{
    if (position > bytes_.size())
        throw TStreamError(TruncatedMessage(0, position, bytes_.size()));
    pos_ = position;
}

std::string_view TByteReader::ReadRaw(std::size_t count)
{
    if (count > Remaining())
        throw TStreamError(TruncatedMessage(count, pos_, bytes_.size()));
    std::string_view part = bytes_.substr(pos_, count);
    pos_ += count;
    return part;
}

void WriteInt32(TByteWriter& w, std::int32_t value)
{
    auto u = static_cast<std::uint32_t>(value);
    char b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<char>((u >> (8 * i)) & 0xFFu);
    w.WriteRaw(std::string_view(b, 4));
}

std::int32_t ReadInt32(TByteReader& r)
{
    std::string_view b = r.ReadRaw(4);
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= static_cast<std::uint32_t>(static_cast<unsigned char>(b[i])) << (8 * i);
    return static_cast<std::int32_t>(u);
}

void WriteDouble(TByteWriter& w, double value)
{
    std::uint64_t u = 0;
    std::memcpy(&u, &value, sizeof u);
    char b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<char>((u >> (8 * i)) & 0xFFu);
    w.WriteRaw(std::string_view(b, 8));
}

double ReadDouble(TByteReader& r)
{
    std::string_view b = r.ReadRaw(8);
    std::uint64_t u = 0;
    for (int i = 0; i < 8; ++i)
        u |= static_cast<std::uint64_t>(static_cast<unsigned char>(b[i])) << (8 * i);
    double value = 0;
    std::memcpy(&value, &u, sizeof value);
    return value;
}

void WriteByte(TByteWriter& w, std::uint8_t value)
{
    char c = static_cast<char>(value);
    w.WriteRaw(std::string_view(&c, 1));
}

void WriteBool(TByteWriter& w, bool value)
{
    WriteByte(w, value ? 1 : 0);
}

std::uint8_t ReadByte(TByteReader& r)
{
    return static_cast<std::uint8_t>(r.ReadRaw(1)[0]);
}

bool ReadBool(TByteReader& r)
{
    return ReadByte(r) != 0;
}

void WriteZString(TByteWriter& w, std::string_view value)
{
    // A 0 byte inside would end the string on reading; write what reads back.
    w.WriteRaw(value.substr(0, value.find('\0')));
    WriteByte(w, 0);
}

std::string ReadZString(TByteReader& r)
{
    std::string value;
    while (!r.AtEnd()) {
        char c = static_cast<char>(ReadByte(r));
        if (c == '\0')
            break;
        value.push_back(c);
    }
    return value;
}

void WriteVersion(TByteWriter& w, std::string_view version)
{
    std::string marked(kVersionMarker);
    marked.append(version);
    WriteZString(w, marked);
}

std::string ReadVersion(TByteReader& r)
{
    const std::size_t start = r.Position();
    std::string text = ReadZString(r);
    if (text.compare(0, kVersionMarker.size(), kVersionMarker) != 0) {
        r.Seek(start);
        return "0";
    }
    return text.substr(kVersionMarker.size());
}

int CompareVersions(std::string_view a, std::string_view b)
{
    // string_view::compare is char_traits<char>::compare, i.e. memcmp: byte-wise unsigned.
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void WriteBlock(TByteWriter& w, std::string_view bytes)
{
    if (bytes.size() > static_cast<std::size_t>(INT32_MAX))
        throw TStreamError("Block too large for the stream encoding");
    WriteInt32(w, static_cast<std::int32_t>(bytes.size()));
    w.WriteRaw(bytes);
}

std::string ReadBlock(TByteReader& r)
{
    if (r.Remaining() < 4) {
        r.Seek(r.Size());
        return {};
    }
    const std::size_t start = r.Position();
    std::int32_t length = ReadInt32(r);
    if (length <= 0)
        return {};
    if (static_cast<std::size_t>(length) > r.Remaining()) {
        r.Seek(start);
        throw TStreamError(TruncatedMessage(static_cast<std::size_t>(length), r.Position() + 4, r.Size()));
    }
    return std::string(r.ReadRaw(static_cast<std::size_t>(length)));
}

} // namespace bm
