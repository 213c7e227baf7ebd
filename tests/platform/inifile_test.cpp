#include "platform/inifile.h"

#include "tests/support/testenv.h"

#include <filesystem>
#include <gtest/gtest.h>

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

const char* const kSample =
    "orphan=before any section\n"
    "[General]\r\n"
    "  AutoCheck = 1 \r\n"
    "; Interval=99\n"
    "Interval=15\n"
    "Name=\"  quoted  \"\n"
    "Single='x'\n"
    "Odd=\"half\n"
    "interval=second copy\n"
    "no equals sign here\n"
    "\n"
    "[server.pop3]\n"
    "PortNormal=11000\n"
    "[GENERAL]\n"
    "Late=ignored, the first section counts\n";

class IniFile : public testing::Test {
protected:
    TempDir dir;
    std::filesystem::path file = dir.path() / "options.ini";
};

struct ReadCase {
    const char* name;
    const char* section;
    const char* key;
    const char* expected;
};

TEST_F(IniFile, ReadStringFollowsPrivateProfileRules)
{
    const ReadCase cases[] = {
        {"trims blanks around key and value", "General", "AutoCheck", "1"},
        {"ignores case of section and key", "general", "INTERVAL", "15"},
        {"first duplicate key counts", "General", "Interval", "15"},
        {"comment lines are not keys", "General", "; Interval", "<def>"},
        {"drops one pair of double quotes", "General", "Name", "  quoted  "},
        {"drops single quotes", "General", "Single", "x"},
        {"unmatched quote stays", "General", "Odd", "\"half"},
        {"section names trimmed and dotted", "Server.POP3", "portnormal", "11000"},
        {"first of two equal sections counts", "General", "Late", "<def>"},
        {"keys before the first section are not found", "", "orphan", "<def>"},
        {"missing key gives default", "General", "Missing", "<def>"},
        {"missing section gives default", "Nowhere", "AutoCheck", "<def>"},
    };
    WriteFileBytes(file, kSample);
    TIniFile ini(file);
    for (const auto& c : cases)
        EXPECT_EQ(ini.ReadString(c.section, c.key, "<def>"), c.expected) << c.name;
}

struct IntCase {
    const char* name;
    const char* text;
    int expected;
};

TEST_F(IniFile, ReadIntegerAcceptsDelphiNumbersElseDefault)
{
    const IntCase cases[] = {
        {"decimal", "42", 42},
        {"negative", "-7", -7},
        {"plus sign", "+7", 7},
        {"dollar hex", "$1F", 31},
        {"0x hex", "0x10", 16},
        {"hex spells the bit pattern", "$FFFFFFFF", -1},
        {"lowest int", "-2147483648", -2147483647 - 1},
        {"out of range", "2147483648", -99},
        {"letters", "abc", -99},
        {"trailing junk", "12abc", -99},
        {"empty", "", -99},
        {"sign only", "-", -99},
    };
    TIniFile ini(file);
    for (const auto& c : cases) {
        ini.WriteString("S", "K", c.text);
        EXPECT_EQ(ini.ReadInteger("S", "K", -99), c.expected) << c.name;
    }
    EXPECT_EQ(ini.ReadInteger("S", "Missing", 5), 5);
}

TEST_F(IniFile, ReadBoolIsNonZeroIntegerElseDefault)
{
    WriteFileBytes(file, "[S]\nOn=1\nOff=0\nTwo=2\nWord=yes\n");
    TIniFile ini(file);
    EXPECT_TRUE(ini.ReadBool("S", "On", false));
    EXPECT_FALSE(ini.ReadBool("S", "Off", true));
    EXPECT_TRUE(ini.ReadBool("S", "Two", false));
    EXPECT_TRUE(ini.ReadBool("S", "Word", true));
    EXPECT_FALSE(ini.ReadBool("S", "Word", false));
    EXPECT_TRUE(ini.ReadBool("S", "Missing", true));
}

TEST_F(IniFile, UpdateInPlaceKeepsEveryOtherLineAndOrder)
{
    WriteFileBytes(file, "; options\n[General]\nautocheck=0\nInterval=15\n\n[Other]\nX=1\n");
    TIniFile ini(file);
    ini.WriteBool("GENERAL", "AutoCheck", true);
    ini.WriteInteger("Other", "x", 2);
    ini.UpdateFile();
    // The keys keep their first spelling; the file now ends lines in CR LF.
    EXPECT_EQ(ReadFileBytes(file), "; options\r\n[General]\r\nautocheck=1\r\nInterval=15\r\n\r\n[Other]\r\nX=2\r\n");
}

TEST_F(IniFile, NewKeyGoesAfterTheLastKeyOfItsSection)
{
    WriteFileBytes(file, "[General]\r\nA=1\r\n\r\n[Other]\r\nB=2\r\n");
    TIniFile ini(file);
    ini.WriteString("general", "New", "v");
    ini.WriteString("Other", "Last", "w");
    ini.UpdateFile();
    EXPECT_EQ(ReadFileBytes(file), "[General]\r\nA=1\r\nNew=v\r\n\r\n[Other]\r\nB=2\r\nLast=w\r\n");
}

TEST_F(IniFile, MissingSectionIsAppendedAtTheEnd)
{
    TIniFile ini(file);
    ini.WriteString("First", "A", "1");
    ini.WriteString("Second", "B", "2");
    ini.UpdateFile();
    EXPECT_EQ(ReadFileBytes(file), "[First]\r\nA=1\r\n\r\n[Second]\r\nB=2\r\n");
    EXPECT_EQ(TIniFile(file).ReadSections(), (std::vector<std::string>{"First", "Second"}));
}

TEST_F(IniFile, LineBreaksInAValueCannotInjectKeys)
{
    TIniFile ini(file);
    ini.WriteString("S", "Name", "evil\r\n[S]\r\nPassword=x");
    ini.UpdateFile();
    TIniFile back(file);
    EXPECT_EQ(back.ReadSection("S"), std::vector<std::string>{"Name"});
    EXPECT_EQ(back.ReadString("S", "Password", "<none>"), "<none>");
}

TEST_F(IniFile, Utf8ValuesPassThrough)
{
    TIniFile ini(file);
    ini.WriteString("S", "Name", "J\xC3\xBCrgen \xE2\x82\xAC");
    ini.UpdateFile();
    EXPECT_EQ(TIniFile(file).ReadString("S", "name", ""), "J\xC3\xBCrgen \xE2\x82\xAC");
}

TEST_F(IniFile, ByteOrderMarkIsIgnored)
{
    WriteFileBytes(file, "\xEF\xBB\xBF[S]\nA=1\n");
    EXPECT_EQ(TIniFile(file).ReadString("S", "A", ""), "1");
}

TEST_F(IniFile, SectionListingsInFileOrder)
{
    WriteFileBytes(file, kSample);
    TIniFile ini(file);
    EXPECT_EQ(ini.ReadSections(), (std::vector<std::string>{"General", "server.pop3"}));
    EXPECT_EQ(ini.ReadSection("general"),
              (std::vector<std::string>{"AutoCheck", "Interval", "Name", "Single", "Odd"}));
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ini.ReadSectionValues("Server.Pop3"), (Pairs{{"PortNormal", "11000"}}));
    EXPECT_TRUE(ini.ReadSection("Nowhere").empty());
    EXPECT_TRUE(ini.SectionExists("SERVER.POP3"));
    EXPECT_TRUE(ini.ValueExists("General", "name"));
    EXPECT_FALSE(ini.ValueExists("General", "Nope"));
}

TEST_F(IniFile, DeleteKeyAndEraseSection)
{
    WriteFileBytes(file, "[A]\nx=1\ny=2\n\n[B]\nz=3\n[C]\nw=4\n");
    TIniFile ini(file);
    ini.DeleteKey("a", "X");
    ini.EraseSection("b");
    ini.DeleteKey("Nowhere", "x");
    ini.UpdateFile();
    EXPECT_EQ(ReadFileBytes(file), "[A]\r\ny=2\r\n\r\n[C]\r\nw=4\r\n");
}

TEST_F(IniFile, UnchangedDocumentIsNotWritten)
{
    TIniFile empty(file);
    empty.UpdateFile();
    EXPECT_FALSE(std::filesystem::exists(file));

    WriteFileBytes(file, "[S]\nA=1\n");
    TIniFile ini(file);
    ini.WriteString("s", "a", "1");
    EXPECT_FALSE(ini.Modified());
    ini.UpdateFile();
    EXPECT_EQ(ReadFileBytes(file), "[S]\nA=1\n"); // still the LF original
}

TEST_F(IniFile, AtomicWriteLeavesNoTemporaryAndCreatesTheFolder)
{
    std::filesystem::path nested = dir.path() / "Veldhaven" / "Brixmoor 2.0" / "accounts.ini";
    TIniFile ini(nested);
    ini.WriteString("Account1", "Name", "home");
    ini.UpdateFile();
    EXPECT_FALSE(ini.Modified());
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(nested.parent_path()))
        names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"accounts.ini"});
}

TEST_F(IniFile, UnwritableFileThrowsWithItsName)
{
    WriteFileBytes(dir.path() / "blocker", "a file, not a folder");
    TIniFile ini(dir.path() / "blocker" / "options.ini");
    ini.WriteString("S", "A", "1");
    try {
        ini.UpdateFile();
        FAIL() << "no exception";
    } catch (const EIniFileError& e) {
        EXPECT_NE(std::string(e.what()).find("options.ini"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(ini.Modified());
}

TEST_F(IniFile, OneShotCalls)
{
    IniWriteString(file, "S", "A", "1");
    IniWriteString(file, "s", "B", "2");
    EXPECT_EQ(IniReadString(file, "S", "a", ""), "1");
    EXPECT_EQ(IniReadString(file, "S", "b", ""), "2");
    EXPECT_EQ(IniReadString(dir.path() / "missing.ini", "S", "a", "def"), "def");
}

TEST_F(IniFile, ReloadDropsUnsavedChanges)
{
    IniWriteString(file, "S", "A", "1");
    TIniFile ini(file);
    ini.WriteString("S", "A", "2");
    ini.Reload();
    EXPECT_FALSE(ini.Modified());
    EXPECT_EQ(ini.ReadString("S", "A", ""), "1");
}

} // namespace
} // namespace bm
