#include "platform/shellU.h"

#include "tests/support/testenv.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <unistd.h>

namespace bm {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(ShellU, ProgramFileIsThisTestExecutable)
{
    EXPECT_EQ(GetProgramFile().filename(), "tests_platform");
    EXPECT_EQ(GetProgramFolder(), GetProgramFile().parent_path());
    EXPECT_TRUE(GetProgramFolder().is_absolute());
}

TEST(ShellU, UserAndHostNames)
{
    EXPECT_FALSE(GetUserName().empty());
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    EXPECT_EQ(GetHostName(), host);
}

struct DocsCase {
    const char* name;
    const char* userDirs; // nullptr: no file
    const char* expected; // relative to HOME unless absolute
};

TEST(ShellU, DocumentsFolderFromUserDirsFile)
{
    const DocsCase cases[] = {
        {"no file", nullptr, "Documents"},
        {"home relative", "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n", "Dokumente"},
        {"absolute", "XDG_DOCUMENTS_DIR=\"/srv/docs\"\n", "/srv/docs"},
        {"home itself", "XDG_DOCUMENTS_DIR=\"$HOME\"\n", ""},
        {"later line wins", "XDG_DOCUMENTS_DIR=\"$HOME/a\"\nXDG_DOCUMENTS_DIR=\"$HOME/b\"\n", "b"},
        {"escaped quote", "XDG_DOCUMENTS_DIR=\"$HOME/My \\\"Docs\\\"\"\n", "My \"Docs\""},
        {"unquoted is not the written form", "XDG_DOCUMENTS_DIR=$HOME/x\n", "Documents"},
        {"relative path ignored", "XDG_DOCUMENTS_DIR=\"docs\"\n", "Documents"},
        {"other keys ignored", "XDG_DESKTOP_DIR=\"$HOME/Desk\"\n", "Documents"},
    };
    for (const auto& c : cases) {
        TempDir home;
        ScopedEnv h("HOME", home.path().c_str());
        ScopedEnv cfg("XDG_CONFIG_HOME", nullptr);
        ScopedEnv docs("XDG_DOCUMENTS_DIR", nullptr);
        if (c.userDirs)
            test::WriteFileBytes(home.path() / ".config" / "user-dirs.dirs", c.userDirs);
        std::filesystem::path expected = c.expected;
        if (!expected.is_absolute())
            expected = *c.expected ? home.path() / expected : home.path();
        EXPECT_EQ(GetXdgDocumentsFolder(), expected) << c.name;
    }
}

TEST(ShellU, XdgVariablesMustBeAbsolute)
{
    TempDir home;
    ScopedEnv h("HOME", home.path().c_str());
    ScopedEnv data("XDG_DATA_HOME", "relative/data");
    ScopedEnv cfg("XDG_CONFIG_HOME", "/abs/config");
    ScopedEnv docs("XDG_DOCUMENTS_DIR", "/abs/docs");
    EXPECT_EQ(GetXdgDataHome(), home.path() / ".local" / "share");
    EXPECT_EQ(GetXdgConfigHome(), "/abs/config");
    EXPECT_EQ(GetXdgDocumentsFolder(), "/abs/docs");
}

TEST(ShellU, RuntimeFolderFallsBackToAPrivateTmpFolder)
{
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    std::filesystem::path folder = GetRuntimeFolder();
    EXPECT_EQ(folder, "/tmp/brixmoor-" + std::to_string(getuid()));
    auto perms = std::filesystem::status(folder).permissions();
    EXPECT_EQ(perms & std::filesystem::perms::all, std::filesystem::perms::owner_all);
}

} // namespace
} // namespace bm
