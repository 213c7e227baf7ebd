#include "platform/atomicfile.h"

#include "platform/registry.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;

namespace fs = std::filesystem;

TEST(AtomicFile, NewFileIsPrivateAndComplete)
{
    TempDir dir;
    const fs::path file = dir.path() / "sub" / "accounts.ini";
    const std::string bytes("with\0nul", 8);
    WriteFileAtomic(file, bytes);
    EXPECT_EQ(ReadFileBytes(file), bytes);
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
}

TEST(AtomicFile, ReplacedFileKeepsItsModeAndNoTemporaryIsLeft)
{
    TempDir dir;
    const fs::path file = dir.path() / "Eudora.ini";
    WriteFileBytes(file, "old");
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    WriteFileAtomic(file, "new");
    EXPECT_EQ(ReadFileBytes(file), "new");
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(AtomicFile, FailureRemovesTheTemporaryAndNamesTheFile)
{
    TempDir dir;
    // Renaming a file over a folder fails at the last step.
    const fs::path target = dir.path() / "options.ini";
    WriteFileBytes(target / "keep", "kept");
    try {
        WriteFileAtomic(target, "new");
        FAIL() << "no exception";
    } catch (const EAtomicWriteError& e) {
        EXPECT_NE(std::string(e.what()).find("options.ini"), std::string::npos) << e.what();
    }
    EXPECT_EQ(ReadFileBytes(target / "keep"), "kept");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(AtomicFile, RegistryThatCannotBeWrittenThrows)
{
    TempDir dir;
    WriteFileBytes(dir.path() / "blocker", "a file where the folder should be");
    TRegistryStore reg(dir.path() / "blocker");
    EXPECT_THROW(reg.WriteString(THive::CurrentUser, "Software", "A", "1"), ERegistryError);
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, "Software", "A"), std::nullopt);
}

TEST(AtomicFile, ReadWholeFile)
{
    TempDir dir;
    std::string bytes = "x";
    EXPECT_FALSE(ReadWholeFile(dir.path() / "missing", bytes));
    EXPECT_TRUE(bytes.empty());
    WriteFileBytes(dir.path() / "f", std::string(100000, 'a'));
    EXPECT_TRUE(ReadWholeFile(dir.path() / "f", bytes));
    EXPECT_EQ(bytes.size(), 100000u);
}

} // namespace
} // namespace bm
