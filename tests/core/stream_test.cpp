// The binary stream encoding: byte layouts, round trips, and reading a
// truncated stream up to its end and never past it.
#include "core/streamU.h"

#include <gtest/gtest.h>

#include <climits>

namespace bm {
namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

struct Int32Case {
    const char* Name;
    std::int32_t Value;
    std::string Encoded;
};

class Int32Test : public testing::TestWithParam<Int32Case> {};

TEST_P(Int32Test, EncodesLittleEndianAndReadsBack)
{
    TByteWriter w;
    WriteInt32(w, GetParam().Value);
    EXPECT_EQ(w.Bytes(), GetParam().Encoded);
    TByteReader r(w.Bytes());
    EXPECT_EQ(ReadInt32(r), GetParam().Value);
    EXPECT_TRUE(r.AtEnd());
}

INSTANTIATE_TEST_SUITE_P(Values, Int32Test,
    testing::Values(Int32Case{"Zero", 0, Bytes({0, 0, 0, 0})},
                    Int32Case{"One", 1, Bytes({1, 0, 0, 0})},
                    Int32Case{"Bytes", 0x12345678, Bytes({0x78, 0x56, 0x34, 0x12})},
                    Int32Case{"MinusOne", -1, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
                    Int32Case{"Min", INT32_MIN, Bytes({0, 0, 0, 0x80})},
                    Int32Case{"Max", INT32_MAX, Bytes({0xFF, 0xFF, 0xFF, 0x7F})}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(StreamTest, BooleansAreOneAndZeroAndReadAsNotZero)
{
    TByteWriter w;
    WriteBool(w, true);
    WriteBool(w, false);
    WriteByte(w, 7);
    EXPECT_EQ(w.Bytes(), Bytes({1, 0, 7}));
    TByteReader r(w.Bytes());
    EXPECT_TRUE(ReadBool(r));
    EXPECT_FALSE(ReadBool(r));
    EXPECT_TRUE(ReadBool(r));
}

TEST(StreamTest, DoubleIsEightBytesLittleEndian)
{
    TByteWriter w;
    WriteDouble(w, 2.5);
    EXPECT_EQ(w.Bytes(), Bytes({0, 0, 0, 0, 0, 0, 0x04, 0x40}));
    TByteReader r(w.Bytes());
    EXPECT_EQ(ReadDouble(r), 2.5);
}

TEST(StreamTest, StringsEndInZeroByte)
{
    TByteWriter w;
    WriteZString(w, "ab");
    WriteZString(w, "");
    WriteZString(w, "\xC3\xA9");
    EXPECT_EQ(w.Bytes(), std::string("ab\0\0\xC3\xA9\0", 7));
    TByteReader r(w.Bytes());
    EXPECT_EQ(ReadZString(r), "ab");
    EXPECT_EQ(ReadZString(r), "");
    EXPECT_EQ(ReadZString(r), "\xC3\xA9");
    EXPECT_TRUE(r.AtEnd());
}

TEST(StreamTest, StringWithZeroByteIsWrittenUpToIt)
{
    TByteWriter w;
    WriteZString(w, std::string_view("ab\0cd", 5));
    EXPECT_EQ(w.Bytes(), std::string("ab\0", 3));
}

TEST(StreamTest, EndOfStreamEndsAString)
{
    const std::string bytes = "abc";
    TByteReader r(bytes);
    EXPECT_EQ(ReadZString(r), "abc");
    EXPECT_TRUE(r.AtEnd());
    EXPECT_EQ(ReadZString(r), "");
}

TEST(StreamTest, VersionMarkerRoundTrip)
{
    TByteWriter w;
    WriteVersion(w, "1.01");
    WriteInt32(w, 5);
    EXPECT_EQ(w.Bytes().substr(0, 11), std::string("S_V_S_1.01\0", 11));
    TByteReader r(w.Bytes());
    EXPECT_EQ(ReadVersion(r), "1.01");
    EXPECT_EQ(ReadInt32(r), 5);
}

struct AbsentMarkerCase {
    const char* Name;
    std::string Bytes;
};

class AbsentVersionTest : public testing::TestWithParam<AbsentMarkerCase> {};

TEST_P(AbsentVersionTest, GivesZeroAndPutsTheStreamBack)
{
    TByteReader r(GetParam().Bytes);
    EXPECT_EQ(ReadVersion(r), "0");
    EXPECT_EQ(r.Position(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Files, AbsentVersionTest,
    testing::Values(AbsentMarkerCase{"Empty", ""},
                    AbsentMarkerCase{"OlderRecord", Bytes({3, 0, 0, 0, 'a', 0})},
                    AbsentMarkerCase{"MarkerCutShort", "S_V_S"},
                    AbsentMarkerCase{"MarkerLaterInString", std::string("xS_V_S_1.0\0", 11)}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(StreamTest, VersionMarkerAtEndWithoutZeroByte)
{
    const std::string bytes = "S_V_S_1.0";
    TByteReader r(bytes);
    EXPECT_EQ(ReadVersion(r), "1.0");
    EXPECT_TRUE(r.AtEnd());
}

struct VersionOrderCase {
    const char* Name;
    const char* Lower;
    const char* Higher;
};

class VersionOrderTest : public testing::TestWithParam<VersionOrderCase> {};

TEST_P(VersionOrderTest, ComparesOrdinally)
{
    EXPECT_LT(CompareVersions(GetParam().Lower, GetParam().Higher), 0);
    EXPECT_GT(CompareVersions(GetParam().Higher, GetParam().Lower), 0);
    EXPECT_EQ(CompareVersions(GetParam().Lower, GetParam().Lower), 0);
}

INSTANTIATE_TEST_SUITE_P(Pairs, VersionOrderTest,
    testing::Values(VersionOrderCase{"LongerAbove", "1.0", "1.01"},
                    VersionOrderCase{"DigitOrder", "1.04", "1.1"},
                    VersionOrderCase{"ZeroBelowAll", "0", "1.0"},
                    VersionOrderCase{"HighBytesAboveAscii", "1.0", "1.0\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(StreamTest, BlockRoundTrip)
{
    TByteWriter w;
    WriteBlock(w, "line\r\n");
    WriteBlock(w, "");
    EXPECT_EQ(w.Bytes(), Bytes({6, 0, 0, 0}) + "line\r\n" + Bytes({0, 0, 0, 0}));
    TByteReader r(w.Bytes());
    EXPECT_EQ(ReadBlock(r), "line\r\n");
    EXPECT_EQ(ReadBlock(r), "");
    EXPECT_TRUE(r.AtEnd());
}

struct BlockCase {
    const char* Name;
    std::string Bytes;
    std::string Block;
    std::size_t EndPosition;
};

class ShortBlockTest : public testing::TestWithParam<BlockCase> {};

TEST_P(ShortBlockTest, GivesAnEmptyBlock)
{
    TByteReader r(GetParam().Bytes);
    EXPECT_EQ(ReadBlock(r), GetParam().Block);
    EXPECT_EQ(r.Position(), GetParam().EndPosition);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ShortBlockTest,
    testing::Values(BlockCase{"NoLength", "", "", 0},
                    BlockCase{"LengthCutOff", Bytes({5, 0}), "", 2},
                    BlockCase{"ZeroLength", Bytes({0, 0, 0, 0, 'x'}), "", 4},
                    BlockCase{"NegativeLength", Bytes({0xFF, 0xFF, 0xFF, 0xFF, 'x'}), "", 4}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(StreamTest, BlockLongerThanTheStreamThrowsAndStaysPut)
{
    // A length of 2 GiB must neither allocate nor read past the 3 bytes there.
    const std::string bytes = Bytes({0xFF, 0xFF, 0xFF, 0x7F, 'a', 'b', 'c'});
    TByteReader r(bytes);
    EXPECT_THROW(ReadBlock(r), TStreamError);
    EXPECT_EQ(r.Position(), 0u);
}

TEST(StreamTest, FixedSizeReadsAtTheEndThrowAndStayPut)
{
    const std::string bytes = Bytes({1, 2, 3});
    TByteReader r(bytes);
    EXPECT_THROW(ReadInt32(r), TStreamError);
    EXPECT_THROW(ReadDouble(r), TStreamError);
    EXPECT_EQ(r.Position(), 0u);
    EXPECT_EQ(ReadByte(r), 1);
    EXPECT_EQ(r.ReadRaw(2), Bytes({2, 3}));
    EXPECT_THROW(ReadByte(r), TStreamError);
    EXPECT_THROW(ReadBool(r), TStreamError);
    EXPECT_THROW(r.Seek(4), TStreamError);
}

TEST(StreamTest, TruncatedErrorNamesWhatWasMissing)
{
    const std::string bytes = Bytes({1, 2});
    TByteReader r(bytes);
    try {
        ReadInt32(r);
        FAIL() << "no exception";
    } catch (const TStreamError& e) {
        EXPECT_STREQ(e.what(), "Stream read beyond end: 4 bytes wanted at position 0 of 2");
    }
}

// A record loader in the manner of the record files: each prefix of a valid
// stream reads whole records up to the cut and then stops with TStreamError
// or at the end, never past it.
TEST(StreamTest, EveryPrefixOfARecordStreamReadsUpToTheEnd)
{
    TByteWriter w;
    WriteVersion(w, "1.01");
    WriteInt32(w, 2);
    for (int i = 0; i < 2; ++i) {
        WriteZString(w, "name" + std::to_string(i));
        WriteBlock(w, "lines\r\n");
        WriteBool(w, i == 1);
    }
    const std::string full = w.Bytes();
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        const std::string prefix = full.substr(0, cut);
        TByteReader r(prefix);
        int records = 0;
        try {
            ReadVersion(r);
            const std::int32_t n = ReadInt32(r);
            for (int i = 0; i < n && !r.AtEnd(); ++i) {
                ReadZString(r);
                ReadBlock(r);
                ReadBool(r);
                ++records;
            }
        } catch (const TStreamError&) {
        }
        EXPECT_LE(r.Position(), prefix.size()) << "cut at " << cut;
        if (cut == full.size()) {
            EXPECT_EQ(records, 2);
        }
    }
}

} // namespace
} // namespace bm
