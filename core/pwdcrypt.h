#pragma once
// Protection of the passwords stored in configuration files (options.ini,
// accounts.ini). Keeps them from casual reading only: any copy of the program
// can read them back.
//
// Stored form of a password of n bytes (1 <= n <= MaxPasswordLength):
//   char(n + 64), char(p + 64), base 32 text of the TEA-enciphered buffer,
// where p (0..7) random filler bytes (1..255) are put in front so that n + p is
// a multiple of 8. Base 32 alphabet "0123456789ABCDEFGHIJKLMNOPQRSTUV"; the
// buffer's bits, first byte first, most significant bit first, preceded by 0..4
// zero bits so the count is a multiple of 5. An empty password is stored empty.
// Strings are 8-bit. Both functions may be called from any thread.

#include <cstddef>
#include <stdexcept>
#include <string>

#include "core/tea.h"

namespace bm {

// The fixed key every stored password depends on; never changes between versions.
inline constexpr TTeaKey PasswordKey = {0x5B2E91D4u, 0xC07A3F68u, 0x1E94D2B7u, 0x8A4C06F3u};

// Longest password the stored form can hold (its length character is n + 64 < 256).
// Counted in bytes: a UTF-8 password with non-ASCII letters holds fewer characters.
inline constexpr std::size_t MaxPasswordLength = 191;

// A stored password that cannot be read back. Message:
// "Invalid code value - " + the bits of the text (5 per character after the two
// length characters, zero bits put in front up to a multiple of 4) as upper-case
// hexadecimal digits, for a text of the wrong length for its length characters or
// length characters that give no possible length (shorter than 2, a negative
// length, more filler than bytes). A length that is not a multiple of 8 raises
// ETeaBufferSize ("Illegal buffer size, must be even 64bits") instead.
class EInvalidPassword : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A password that cannot be stored (longer than MaxPasswordLength bytes).
// Message: "Password too long - at most 191 characters".
class EPasswordTooLong : public std::runtime_error {
public:
    EPasswordTooLong();
};

// The stored form of `password` (see above); "" for "". Two calls on the same
// password give different texts unless its length is a multiple of 8 (random
// filler from a generator seeded once per process from the clock).
// Throws EPasswordTooLong for more than MaxPasswordLength bytes.
std::string EncryptPassword(const std::string& password);

// The password held by `stored`; "" for "". Lower-case letters decode like
// upper-case ones; a character outside the alphabet counts as 31.
// Throws EInvalidPassword or ETeaBufferSize (both std::runtime_error) with the
// messages above on a malformed value; never reads out of bounds or allocates
// more than the text's own size on any input.
std::string DecryptPassword(const std::string& stored);

} // namespace bm
