#include "core/pwdcrypt.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <vector>

namespace bm {

namespace {

constexpr char Alphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUV";
constexpr char HexDigits[] = "0123456789ABCDEF";

// Filler bytes only blur equal passwords; a clock-seeded generator is what the
// stored format was designed with and is enough for it.
std::uint8_t RandomFillerByte()
{
    static std::mutex mutex;
    static std::mt19937 generator(static_cast<std::mt19937::result_type>(
        std::chrono::system_clock::now().time_since_epoch().count()));
    std::lock_guard lock(mutex);
    return static_cast<std::uint8_t>(std::uniform_int_distribution<int>(1, 255)(generator));
}

// Bits of `bytes`, first byte first, most significant bit first, after 0..4 zero
// bits that make the count a multiple of 5; 5 bits per character.
std::string ToBase32(const std::vector<std::uint8_t>& bytes)
{
    const std::size_t bitCount = bytes.size() * 8;
    const std::size_t padBits = (5 - bitCount % 5) % 5;
    std::string text;
    text.reserve((bitCount + padBits) / 5);
    std::uint32_t acc = 0;
    std::size_t accBits = padBits; // the leading zero bits are already in acc
    for (std::uint8_t byte : bytes) {
        acc = (acc << 8) | byte;
        accBits += 8;
        while (accBits >= 5) {
            accBits -= 5;
            text += Alphabet[(acc >> accBits) & 31u];
        }
        acc &= (1u << accBits) - 1;
    }
    return text;
}

unsigned DigitValue(char ch)
{
    if (ch >= '0' && ch <= '9')
        return unsigned(ch - '0');
    if (ch >= 'A' && ch <= 'V')
        return unsigned(ch - 'A' + 10);
    if (ch >= 'a' && ch <= 'v')
        return unsigned(ch - 'a' + 10);
    return 31; // outside the alphabet, as the stored format has always read it
}

// The text's bits (5 per character) as hexadecimal digits, zero bits in front up
// to a multiple of 4; the detail of the "Invalid code value" message.
std::string BitsAsHex(const std::string& digits)
{
    const std::size_t bitCount = digits.size() * 5;
    std::size_t accBits = (4 - bitCount % 4) % 4;
    std::uint32_t acc = 0;
    std::string hex;
    hex.reserve((bitCount + accBits) / 4);
    for (char ch : digits) {
        acc = (acc << 5) | DigitValue(ch);
        accBits += 5;
        while (accBits >= 4) {
            accBits -= 4;
            hex += HexDigits[(acc >> accBits) & 15u];
        }
        acc &= (1u << accBits) - 1;
    }
    return hex;
}

[[noreturn]] void ThrowInvalid(const std::string& digits)
{
    throw EInvalidPassword("Invalid code value - " + BitsAsHex(digits));
}

// Exactly 8 * size bits of `digits` after its leading pad bits, as bytes.
std::vector<std::uint8_t> FromBase32(const std::string& digits, std::size_t size)
{
    std::size_t skip = digits.size() * 5 - size * 8; // 0..4, checked by the caller
    std::vector<std::uint8_t> bytes;
    bytes.reserve(size);
    std::uint32_t acc = 0;
    std::size_t accBits = 0;
    for (char ch : digits) {
        acc = (acc << 5) | DigitValue(ch);
        accBits += 5;
        if (skip > 0) {
            accBits -= skip; // drop the pad bits at the front
            acc &= (1u << accBits) - 1;
            skip = 0;
        }
        if (accBits >= 8) {
            accBits -= 8;
            bytes.push_back(static_cast<std::uint8_t>(acc >> accBits));
            acc &= (1u << accBits) - 1;
        }
    }
    return bytes;
}

} // namespace

EPasswordTooLong::EPasswordTooLong()
    : std::runtime_error("Password too long - at most 191 characters")
{
}

std::string EncryptPassword(const std::string& password)
{
    if (password.empty())
        return {};
    const std::size_t n = password.size();
    if (n > MaxPasswordLength)
        throw EPasswordTooLong();
    const std::size_t p = (8 - n % 8) % 8;
    std::vector<std::uint8_t> buffer;
    buffer.reserve(n + p);
    for (std::size_t i = 0; i < p; ++i)
        buffer.push_back(RandomFillerByte());
    buffer.insert(buffer.end(), password.begin(), password.end());
    TeaEncipher(buffer.data(), buffer.size(), PasswordKey);
    std::string stored;
    stored += static_cast<char>(n + 64);
    stored += static_cast<char>(p + 64);
    stored += ToBase32(buffer);
    return stored;
}

std::string DecryptPassword(const std::string& stored)
{
    if (stored.empty())
        return {};
    if (stored.size() < 2)
        ThrowInvalid({});
    const long a = static_cast<unsigned char>(stored[0]);
    const long b = static_cast<unsigned char>(stored[1]);
    const std::string digits = stored.substr(2);
    const long size = a + b - 128; // enciphered length c
    const long filler = b - 64;
    // The text must have exactly ceil(8c / 5) characters: 0..4 pad bits.
    const long padBits = static_cast<long>(digits.size()) * 5 - size * 8;
    if (size < 0 || filler < 0 || filler > size || padBits < 0 || padBits > 4)
        ThrowInvalid(digits);
    if (size % 8 != 0)
        throw ETeaBufferSize();
    std::vector<std::uint8_t> buffer = FromBase32(digits, static_cast<std::size_t>(size));
    TeaDecipher(buffer.data(), buffer.size(), PasswordKey);
    return std::string(buffer.begin() + filler, buffer.end());
}

} // namespace bm
