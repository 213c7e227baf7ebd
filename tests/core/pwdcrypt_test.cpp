#include "core/pwdcrypt.h"
#include "core/tea.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using bm::DecryptPassword;
using bm::EncryptPassword;

// A password of `n` bytes touching every byte value except 0 (which an INI
// file cannot carry anyway).
std::string MakePassword(std::size_t n)
{
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s += static_cast<char>(1 + (i * 37 + 11) % 255);
    return s;
}

class PasswordRoundTrip : public testing::TestWithParam<std::size_t> {};

TEST_P(PasswordRoundTrip, ReadsBackUnchanged)
{
    const std::string password = MakePassword(GetParam());
    const std::string stored = EncryptPassword(password);
    const std::size_t n = password.size();
    const std::size_t p = (8 - n % 8) % 8;
    ASSERT_EQ(stored.size(), 2 + ((n + p) * 8 + 4) / 5);
    EXPECT_EQ(static_cast<unsigned char>(stored[0]), n + 64);
    EXPECT_EQ(static_cast<unsigned char>(stored[1]), p + 64);
    EXPECT_EQ(stored.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUV", 2), std::string::npos);
    EXPECT_EQ(DecryptPassword(stored), password);
}

// 25 to 32 bytes: 256 bits, so the text starts with four added zero bits.
INSTANTIATE_TEST_SUITE_P(Lengths, PasswordRoundTrip,
                         testing::Values(1, 7, 8, 9, 25, 32, 33, 190, 191),
                         [](const auto& info) { return "n" + std::to_string(info.param); });

TEST(Password, EmptyIsStoredEmpty)
{
    EXPECT_EQ(EncryptPassword(""), "");
    EXPECT_EQ(DecryptPassword(""), "");
}

TEST(Password, EightCharactersGetNoFiller)
{
    const std::string stored = EncryptPassword("abcdefgh");
    EXPECT_EQ(stored[1], char(64));
    EXPECT_EQ(EncryptPassword("abcdefgh"), stored); // no filler, so no randomness
}

TEST(Password, FillerMakesStoredTextsDiffer)
{
    // Seven filler bytes of 1..255: 255^7 possibilities, equal texts mean no filler.
    EXPECT_NE(EncryptPassword("a"), EncryptPassword("a"));
}

// Expected values computed outside this program, by a separate implementation
// of TEA and of the stored form written from the format description.
struct KnownValue {
    const char* name;
    std::string stored;
    std::string password;
};

const KnownValue KnownValues[] = {
    {"EightBytes", "H@FOV4ET97S3BP0", "password"},
    {"FillerBytes0102", "FB1U3S6V1OUI7O0", "secret"},
    {"LowerCase", "FB1u3s6v1oui7o0", "secret"},
    {"ThreeBlocks", "X@2DFG8DE4CERCUNAJTEQBLDCR515EGH1SUG9KMLQ", "Brixmoor-2.0-test-pass!!"},
};

class PasswordKnownValue : public testing::TestWithParam<KnownValue> {};

TEST_P(PasswordKnownValue, Decodes)
{
    EXPECT_EQ(DecryptPassword(GetParam().stored), GetParam().password);
}

INSTANTIATE_TEST_SUITE_P(Vectors, PasswordKnownValue, testing::ValuesIn(KnownValues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Password, EncryptMatchesKnownValueWithoutFiller)
{
    EXPECT_EQ(EncryptPassword("password"), "H@FOV4ET97S3BP0");
    EXPECT_EQ(EncryptPassword("Brixmoor-2.0-test-pass!!"),
              "X@2DFG8DE4CERCUNAJTEQBLDCR515EGH1SUG9KMLQ");
}

TEST(Password, TooLongIsRefused)
{
    try {
        EncryptPassword(std::string(192, 'x'));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Password too long - at most 191 characters");
    }
}

struct BadValue {
    const char* name;
    std::string stored;
    std::string message;
};

const BadValue BadValues[] = {
    // 'H' '@': 8 bytes need 13 characters. Bits 01010 01011 01100 -> 0010 1001 0110 1100.
    {"TooShortText", "H@ABC", "Invalid code value - 296C"},
    {"TooLongText", "H@FOV4ET97S3BP00", "Invalid code value - 1F8F91DD49F835E400"},
    {"OneCharacter", "A", "Invalid code value - "},
    // 'D' '@': 4 bytes, 7 characters fit, but 4 is not a whole block.
    {"NotWholeBlock", "D@0000000", "Illegal buffer size, must be even 64bits"},
    // Length codes below 64 give a negative length.
    {"NegativeLength", "!@12", "Invalid code value - 022"},
    {"BothCodesLow", std::string("\x01\x01", 2), "Invalid code value - "},
    // More filler (9) than bytes (8).
    {"FillerBeyondBuffer", "?IFOV4ET97S3BP0", "Invalid code value - 0FC7C8EEA4FC1AF20"},
    // Codes near 255 ask for 382 bytes; the text must not make the decoder allocate them.
    {"HugeLength", "\xFF\xFF" "0", "Invalid code value - 00"},
};

class PasswordBadValue : public testing::TestWithParam<BadValue> {};

TEST_P(PasswordBadValue, RaisesItsMessage)
{
    try {
        DecryptPassword(GetParam().stored);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(Errors, PasswordBadValue, testing::ValuesIn(BadValues),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Password, UnknownCharacterCountsAsV)
{
    std::string stored = EncryptPassword("password");
    std::string changed = stored;
    changed[5] = 'V';
    stored[5] = '*';
    EXPECT_EQ(DecryptPassword(stored), DecryptPassword(changed));
}

TEST(Tea, ZeroBlockUnderPasswordKey)
{
    std::vector<std::uint8_t> block(8, 0);
    bm::TeaEncipher(block.data(), block.size(), bm::PasswordKey);
    const std::vector<std::uint8_t> expected{0x45, 0x02, 0x4d, 0x81, 0x77, 0xde, 0x1f, 0x02};
    EXPECT_EQ(block, expected);
    bm::TeaDecipher(block.data(), block.size(), bm::PasswordKey);
    EXPECT_EQ(block, std::vector<std::uint8_t>(8, 0));
}

TEST(Tea, RefusesPartialBlock)
{
    std::vector<std::uint8_t> buffer(12, 7);
    for (auto op : {bm::TeaEncipher, bm::TeaDecipher}) {
        try {
            op(buffer.data(), buffer.size(), bm::PasswordKey);
            FAIL() << "no exception";
        } catch (const bm::ETeaBufferSize& e) {
            EXPECT_STREQ(e.what(), "Illegal buffer size, must be even 64bits");
        }
    }
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(12, 7));
}

} // namespace
