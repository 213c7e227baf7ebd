#pragma once
// Primitive encodings of the binary record files (the address lists' older
// files, the known-message list, saved list layouts and the older
// configuration files): little-endian 32-bit integers, bytes, zero-terminated
// strings, the "S_V_S_" version marker and length-prefixed blocks.
//
// Writers append to a byte string; readers walk a byte string that the caller
// keeps alive. A reader never reads past the end: a read that needs more bytes
// than remain throws TStreamError and leaves the position where it was, so a
// loader can read records "up to the end and never past it" with
//     while (!reader.AtEnd()) { ... }   // and catch TStreamError for a torn record.
// None of these keep any state besides the reader's position; a reader or
// writer is used by one thread at a time.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace bm {

// A read that needs more bytes than the stream holds (a truncated file).
class TStreamError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Appends encoded values to a byte string.
class TByteWriter {
public:
    TByteWriter() = default;
    const std::string& Bytes() const { return bytes_; }
    std::string TakeBytes() { return std::move(bytes_); }
    std::size_t Size() const { return bytes_.size(); }
    void WriteRaw(std::string_view bytes) { bytes_.append(bytes); }

private:
    std::string bytes_;
};

// Reads encoded values from a byte string owned by the caller, which must
// outlive the reader.
class TByteReader {
public:
    explicit TByteReader(std::string_view bytes) : bytes_(bytes) {}
    std::size_t Position() const { return pos_; }
    // Moves to an absolute position; throws TStreamError beyond the end.
    void Seek(std::size_t position);
    std::size_t Size() const { return bytes_.size(); }
    std::size_t Remaining() const { return bytes_.size() - pos_; }
    bool AtEnd() const { return pos_ >= bytes_.size(); }
    // Takes exactly count bytes; throws TStreamError (position unchanged)
    // when fewer remain.
    std::string_view ReadRaw(std::size_t count);

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// The marker that precedes a version string.
inline constexpr std::string_view kVersionMarker = "S_V_S_";

// Integer: 4 bytes, little-endian, two's complement.
void WriteInt32(TByteWriter& w, std::int32_t value);
// Throws TStreamError when fewer than 4 bytes remain.
std::int32_t ReadInt32(TByteReader& r);

// Double: 8 bytes, IEEE 754, little-endian (the day-count date-times of the
// record files). Read throws TStreamError when fewer than 8 bytes remain.
void WriteDouble(TByteWriter& w, double value);
double ReadDouble(TByteReader& r);

// Byte: 1 byte. A boolean is written as 1 or 0 and read as "not 0".
void WriteByte(TByteWriter& w, std::uint8_t value);
void WriteBool(TByteWriter& w, bool value);
// Both throw TStreamError at the end of the stream.
std::uint8_t ReadByte(TByteReader& r);
bool ReadBool(TByteReader& r);

// String: its bytes, then one 0 byte. A string holding a 0 byte would not read
// back whole; the writer writes it up to its first 0 byte.
void WriteZString(TByteWriter& w, std::string_view value);
// Takes bytes up to and including the first 0 byte; the end of the stream also
// ends the string (no exception; at the end it gives "").
std::string ReadZString(TByteReader& r);

// Version marker: "S_V_S_" + version, written as one string.
void WriteVersion(TByteWriter& w, std::string_view version);
// Reads a string; when it does not begin with "S_V_S_" the stream is put back
// where it was and the version is "0" (files written before markers existed
// read from their first byte). Never throws.
std::string ReadVersion(TByteReader& r);
// Ordinal (byte-wise) comparison of two version strings: <0, 0 or >0.
// "1.01" > "1.0", "1.1" > "1.04".
int CompareVersions(std::string_view a, std::string_view b);

// Block: an integer length, then that many bytes.
void WriteBlock(TByteWriter& w, std::string_view bytes);
// A length that cannot be read (fewer than 4 bytes left) gives an empty block
// and leaves the reader at the end; a length of 0 or less gives an empty block.
// A length beyond the remaining bytes throws TStreamError with the position
// unchanged (nothing is allocated for it).
std::string ReadBlock(TByteReader& r);

} // namespace bm
