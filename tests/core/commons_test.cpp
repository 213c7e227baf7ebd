// The common helpers: identity, folders over the registry stand-in, MD5 and
// the text helpers with their edge cases.
#include "core/commonsU.h"

#include "platform/registry.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace bm {
namespace {

// Points an environment variable somewhere for the life of the object.
class EnvGuard {
public:
    EnvGuard(const char* name, const std::string& value) : name_(name)
    {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_)
            old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~EnvGuard()
    {
        if (hadOld_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    bool hadOld_ = false;
    std::string old_;
};

TEST(CommonsTest, IdentityStrings)
{
    EXPECT_EQ(GetProductName(), "Brixmoor");
    EXPECT_EQ(GetProductVersion(), "2.5");
    EXPECT_EQ(GetFileVersion(), "2.50.0.1");
    EXPECT_EQ(GetProductTitle(), "Brixmoor 2.5");
    EXPECT_EQ(GetProductFolderName(), "Brixmoor 2.0");
}

struct FolderNameCase {
    const char* Name;
    const char* Version;
    const char* Folder;
};

class ProductFolderNameTest : public testing::TestWithParam<FolderNameCase> {};

TEST_P(ProductFolderNameTest, KeepsTheVersionUpToItsFirstPoint)
{
    EXPECT_EQ(MakeProductFolderName("Brixmoor", GetParam().Version), GetParam().Folder);
}

INSTANTIATE_TEST_SUITE_P(Versions, ProductFolderNameTest,
    testing::Values(FolderNameCase{"Minor", "2.5", "Brixmoor 2.0"},
                    FolderNameCase{"ThreeParts", "10.2.3", "Brixmoor 10.0"},
                    FolderNameCase{"NoPoint", "3", "Brixmoor 0"},
                    FolderNameCase{"Empty", "", "Brixmoor 0"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CommonsTest, DataFolderIsCreatedUnderXdgDataHome)
{
    test::TempDir dir;
    EnvGuard data("XDG_DATA_HOME", dir.path().string());
    const std::filesystem::path expected = dir.path() / "Veldhaven" / "Brixmoor 2.0";
    EXPECT_FALSE(std::filesystem::exists(expected));
    EXPECT_EQ(GetDataFolder(), expected);
    EXPECT_TRUE(std::filesystem::is_directory(expected));
}

TEST(CommonsTest, DocumentsFolderIsTheXdgDocumentsFolder)
{
    test::TempDir dir;
    EnvGuard docs("XDG_DOCUMENTS_DIR", (dir.path() / "Docs").string());
    EXPECT_EQ(GetDocumentsFolder(), dir.path() / "Docs");
}

// Eudora's subkeys spell its folder, one key per path component.
std::string EudoraKeyFor(const std::filesystem::path& folder)
{
    std::string key = "Software\\Qualcomm\\Eudora";
    for (const auto& part : folder.relative_path())
        key += "\\" + part.string();
    return key;
}

TEST(CommonsTest, FindsEudoraIniThroughTheSubkeyPath)
{
    test::TempDir dir;
    const std::filesystem::path folder = dir.path() / "Eudora";
    RegOpenKey(THive::CurrentUser, EudoraKeyFor(folder), true);
    EXPECT_EQ(FindEudoraIni(), std::filesystem::path());   // folder without Eudora.ini
    test::WriteFileBytes(folder / "Eudora.ini", "[Settings]\r\n");
    EXPECT_EQ(FindEudoraIni(), folder / "Eudora.ini");
    RegDeleteKey(THive::CurrentUser, "Software\\Qualcomm");
    EXPECT_EQ(FindEudoraIni(), std::filesystem::path());
}

struct Md5Case {
    const char* Name;
    const char* Input;
    const char* Hex;
};

class Md5Test : public testing::TestWithParam<Md5Case> {};

TEST_P(Md5Test, MatchesTheRfc1321TestSuite)
{
    EXPECT_EQ(MD5Hex(GetParam().Input), GetParam().Hex);
}

// RFC 1321, appendix A.5.
INSTANTIATE_TEST_SUITE_P(Rfc1321, Md5Test,
    testing::Values(
        Md5Case{"Empty", "", "D41D8CD98F00B204E9800998ECF8427E"},
        Md5Case{"A", "a", "0CC175B9C0F1B6A831C399E269772661"},
        Md5Case{"Abc", "abc", "900150983CD24FB0D6963F7D28E17F72"},
        Md5Case{"MessageDigest", "message digest", "F96B697D7CB7938D525A2F31AAF161D0"},
        Md5Case{"Alphabet", "abcdefghijklmnopqrstuvwxyz", "C3FCD3D76192E4007DFB496CCA67E13B"},
        Md5Case{"AlphaNumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
                "D174AB98D277D9F5A5611C2C9F419D9F"},
        Md5Case{"Digits", "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
                "57EDF4A22BE3C955AC49DA2E2107B67A"}),
    [](const auto& info) { return std::string(info.param.Name); });

struct SizeCase {
    const char* Name;
    std::int32_t Bytes;
    const char* Text;
};

class FormatSizeTest : public testing::TestWithParam<SizeCase> {};

TEST_P(FormatSizeTest, Formats)
{
    EXPECT_EQ(FormatSize(GetParam().Bytes), GetParam().Text);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FormatSizeTest,
    testing::Values(SizeCase{"Zero", 0, "0.00kb"},
                    SizeCase{"OneKb", 1024, "1.00kb"},
                    SizeCase{"HalfKb", 512, "0.50kb"},
                    SizeCase{"ExactlyOneMb", 1048576, "1024.00kb"},
                    SizeCase{"OneByteMore", 1048577, "1.00Mb"},
                    SizeCase{"Largest", 2147483647, "2048.00Mb"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CommonsTest, PluralS)
{
    EXPECT_EQ(PluralS(1), "");
    EXPECT_EQ(PluralS(0), "s");
    EXPECT_EQ(PluralS(2), "s");
    EXPECT_EQ(PluralS(-1), "s");
}

struct ElapsedCase {
    const char* Name;
    double Seconds;
    const char* Phrase;
};

class FormatElapsedTest : public testing::TestWithParam<ElapsedCase> {};

TEST_P(FormatElapsedTest, Phrases)
{
    EXPECT_EQ(FormatElapsed(GetParam().Seconds / 86400.0), GetParam().Phrase);
}

constexpr double kMinute = 60;
constexpr double kHour = 3600;
constexpr double kDay = 86400;

INSTANTIATE_TEST_SUITE_P(Spans, FormatElapsedTest,
    testing::Values(ElapsedCase{"Zero", 0, "within the minute"},
                    ElapsedCase{"Negative", -5 * kMinute, "within the minute"},
                    ElapsedCase{"FiftyNineSeconds", 59, "within the minute"},
                    ElapsedCase{"OneMinute", kMinute, "1 minute ago"},
                    ElapsedCase{"FiftyNineMinutes", 59 * kMinute, "59 minutes ago"},
                    ElapsedCase{"HourAndMinute", kHour + kMinute, "1 hour, 1 minute ago"},
                    ElapsedCase{"TwoHours", 2 * kHour, "2 hours, 0 minutes ago"},
                    ElapsedCase{"TwentyTwoHours", 22 * kHour + 59 * kMinute, "22 hours, 59 minutes ago"},
                    ElapsedCase{"TwentyThreeHours", 23 * kHour, "0 days, 23 hours"},
                    ElapsedCase{"OneDayOneHour", 25 * kHour, "1 day, 1 hour"},
                    ElapsedCase{"ThirtyDays", 30 * kDay, "30 days, 0 hours"},
                    ElapsedCase{"ThirtyOneDays", 31 * kDay, "1 month, 1 day"},
                    ElapsedCase{"SixtyDays", 60 * kDay, "2 months, 0 days"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(CommonsTest, MakeSafeFileName)
{
    EXPECT_EQ(MakeSafeFileName("a:b?c"), "a_b_c");
    EXPECT_EQ(MakeSafeFileName("\\/:*?\"<>|"), "_________");
    EXPECT_EQ(MakeSafeFileName("UIDL-0123abcXYZ.+=\xC3\xA9"), "UIDL-0123abcXYZ.+=\xC3\xA9");
}

struct TokenCase {
    const char* Name;
    const char* Text;
    const char* Delimiters;
    bool KeepEmpty;
    std::vector<std::string> Tokens;
};

class ExtractTokensTest : public testing::TestWithParam<TokenCase> {};

TEST_P(ExtractTokensTest, Splits)
{
    std::vector<std::string> tokens{"left over"};
    const int n = ExtractTokens(GetParam().Text, GetParam().Delimiters, GetParam().KeepEmpty, tokens);
    EXPECT_EQ(tokens, GetParam().Tokens);
    EXPECT_EQ(n, static_cast<int>(GetParam().Tokens.size()));
}

INSTANTIATE_TEST_SUITE_P(Texts, ExtractTokensTest,
    testing::Values(
        TokenCase{"TwoSpaces", "hello  world", " ", false, {"hello", "world"}},
        TokenCase{"TwoSpacesKeepEmpty", "hello  world", " ", true, {"hello", "", "world"}},
        TokenCase{"EmptyEnds", ".a.", ".", false, {"a"}},
        TokenCase{"EmptyEndsKept", ".a.", ".", true, {"", "a", ""}},
        TokenCase{"Address", "john@mail.example.com", "@.", false, {"john", "mail", "example", "com"}},
        TokenCase{"Lines", "one\r\ntwo\r\n", "\r\n", false, {"one", "two"}},
        TokenCase{"EmptyText", "", " ", true, {}},
        TokenCase{"NoDelimiters", "a b", "", true, {}},
        TokenCase{"OnlyDelimiters", "   ", " ", false, {}}),
    [](const auto& info) { return std::string(info.param.Name); });

struct WrapCase {
    const char* Name;
    const char* Text;
    int Margin;
    TWrappedText Wrapped;
};

class WordWrapTest : public testing::TestWithParam<WrapCase> {};

TEST_P(WordWrapTest, Wraps)
{
    EXPECT_EQ(WordWrap(GetParam().Text, GetParam().Margin), GetParam().Wrapped);
}

INSTANTIATE_TEST_SUITE_P(Texts, WordWrapTest,
    testing::Values(
        WrapCase{"Empty", "", 10, {"", ""}},
        WrapCase{"Short", "hello", 10, {"hello", ""}},
        WrapCase{"ExactlyMargin", "helloworld", 10, {"helloworld", ""}},
        WrapCase{"SpaceAfterMargin", "hello worl foo", 10, {"hello worl", "foo"}},
        WrapCase{"WordAcrossMargin", "hello world foo", 10, {"hello", "world foo"}},
        WrapCase{"SpaceAtMargin", "hello wor foo", 10, {"hello wor", "foo"}},
        WrapCase{"SpaceRunAtBreak", "hello     world", 10, {"hello", "world"}},
        WrapCase{"OneLongWord", "abcdefghijklmnop", 10, {"abcdefghij", "klmnop"}},
        WrapCase{"LongWordAfterShort", "ab cdefghijklmnop", 10, {"ab", "cdefghijklmnop"}},
        WrapCase{"Utf8CountsCharacters", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9 x", 5,
                 {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "x"}},
        WrapCase{"Utf8NeverCutInHalf", "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 3,
                 {"\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9"}}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace bm
