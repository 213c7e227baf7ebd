// Start with the system: the XDG autostart entry keyed by the product name.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>

#include "config/optionsU.h"
#include "core/commonsU.h"
#include "platform/shellU.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

// Each test gets an XDG_CONFIG_HOME of its own.
class OptionsAutostartTest : public testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        saved_ = old ? old : "";
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    }
    void TearDown() override { setenv("XDG_CONFIG_HOME", saved_.c_str(), 1); }

    std::filesystem::path Entry() const
    {
        return config_.path() / "autostart" / (GetProductName() + ".desktop");
    }

    TempDir config_;
    std::string saved_;
};

TEST_F(OptionsAutostartTest, EntryFileIsNamedAfterTheProduct)
{
    EXPECT_EQ(TOptions::AutostartEntryFile(), Entry());
}

TEST_F(OptionsAutostartTest, OnWritesTheQuotedProgramPathAndOffRemovesIt)
{
    TOptions o;
    EXPECT_FALSE(o.StartWithWindows());
    o.SetStartWithWindows(true);
    EXPECT_TRUE(o.Modified());
    EXPECT_TRUE(o.StartWithWindows());
    const std::string text = ReadFileBytes(Entry());
    EXPECT_NE(text.find("\nExec=\"" + GetProgramFile().string() + "\"\n"), std::string::npos) << text;
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n"));

    TOptions other;
    other.SetStartWithWindows(false);
    EXPECT_TRUE(other.Modified());
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_FALSE(other.StartWithWindows());
}

TEST_F(OptionsAutostartTest, RequestingTheCurrentStateChangesNothing)
{
    TOptions o;
    o.SetStartWithWindows(false); // no entry: nothing to remove
    EXPECT_FALSE(o.Modified());
    EXPECT_FALSE(std::filesystem::exists(Entry().parent_path()));

    o.SetStartWithWindows(true);
    o.SetModified(false);
    WriteFileBytes(Entry(), ReadFileBytes(Entry()) + "Comment=kept\n");
    o.SetStartWithWindows(true);
    EXPECT_FALSE(o.Modified());
    EXPECT_NE(ReadFileBytes(Entry()).find("Comment=kept"), std::string::npos);
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

struct EntryCase {
    const char* Name;
    std::string Text;
    bool On;
};

TEST_F(OptionsAutostartTest, OnOnlyForExactlyThisProgram)
{
    const std::string program = GetProgramFile().string();
    const EntryCase cases[] = {
        {"Ours", TOptions::AutostartEntryText(GetProgramFile()), true},
        {"CrLf", "[Desktop Entry]\r\nExec=\"" + program + "\"\r\n", true},
        {"Unquoted", "[Desktop Entry]\nExec=" + program + "\n", false},
        {"OtherCopy", "[Desktop Entry]\nExec=\"" + program + "-old\"\n", false},
        {"OtherCase", "[Desktop Entry]\nExec=\"" + Upper(program) + "\"\n", false},
        {"NoExec", "[Desktop Entry]\nType=Application\n", false},
        {"Empty", "", false},
    };
    for (const EntryCase& c : cases) {
        WriteFileBytes(Entry(), c.Text);
        TOptions o;
        EXPECT_EQ(o.StartWithWindows(), c.On) << c.Name;
    }
}

TEST_F(OptionsAutostartTest, SpecialCharactersAreEscapedInTheExecLine)
{
    const std::string text = TOptions::AutostartEntryText("/opt/a b/$x\\y%z\"q");
    EXPECT_NE(text.find("\nExec=\"/opt/a b/\\\\$x\\\\\\\\y%%z\\\\\"q\"\n"), std::string::npos) << text;
}

TEST_F(OptionsAutostartTest, UnwritableFolderIsNotAnErrorButMarksModified)
{
    // A file where the autostart folder should be: the entry cannot be made.
    WriteFileBytes(config_.path() / "autostart", "not a folder");
    TOptions o;
    o.SetStartWithWindows(true);
    EXPECT_TRUE(o.Modified());
    EXPECT_FALSE(o.StartWithWindows());
}

} // namespace
} // namespace bm
