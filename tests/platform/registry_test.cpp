#include "platform/registry.h"

#include "tests/support/testenv.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace bm {
namespace {

using test::ScopedEnv;
using test::TempDir;

const std::string kKey = "Software\\Veldhaven\\Brixmoor 2.0\\State";
const std::string kShell = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

std::vector<std::string> FilesIn(const std::filesystem::path& folder)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(folder))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Registry, EachValueKindRoundTripsThroughTheFile)
{
    TempDir dir;
    const std::string binary("\x00\x01\xFF\n%\r", 6);
    const std::string awkward = "two  spaces %41\r\nnext line\tand tab";
    {
        TRegistryStore reg(dir.path());
        reg.WriteString(THive::CurrentUser, kKey, "Text", awkward);
        reg.WriteString(THive::CurrentUser, kKey, "", "default value");
        reg.WriteInteger(THive::CurrentUser, kKey, "Width", 0xFFFFFFFFu);
        reg.WriteBinary(THive::CurrentUser, kKey, "Blob", binary);
        reg.WriteBinary(THive::CurrentUser, kKey, "Empty", "");
    }
    TRegistryStore reg(dir.path());
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kKey, "Text"), awkward);
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kKey, ""), "default value");
    EXPECT_EQ(reg.ReadInteger(THive::CurrentUser, kKey, "Width"), 0xFFFFFFFFu);
    EXPECT_EQ(reg.ReadBinary(THive::CurrentUser, kKey, "Blob"), binary);
    EXPECT_EQ(reg.ReadBinary(THive::CurrentUser, kKey, "Empty"), "");
    EXPECT_EQ(reg.ValueKind(THive::CurrentUser, kKey, "Width"), TRegValueKind::Integer);
}

TEST(Registry, MissingOrOtherKindReadsAsMissing)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    reg.WriteInteger(THive::CurrentUser, kKey, "Width", 250);
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kKey, "Width"), std::nullopt);
    EXPECT_EQ(reg.ReadBinary(THive::CurrentUser, kKey, "Width"), std::nullopt);
    EXPECT_EQ(reg.ReadInteger(THive::CurrentUser, kKey, "Height"), std::nullopt);
    EXPECT_EQ(reg.ReadInteger(THive::CurrentUser, "Software\\Nowhere", "Width"), std::nullopt);
    EXPECT_EQ(reg.ReadInteger(THive::LocalMachine, kKey, "Width"), std::nullopt);
    EXPECT_EQ(reg.ValueKind(THive::CurrentUser, kKey, "Height"), std::nullopt);
}

TEST(Registry, RewritingAValueChangesItsKind)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    reg.WriteInteger(THive::CurrentUser, kKey, "FirstRun", 1);
    reg.WriteString(THive::CurrentUser, kKey, "firstrun", "no");
    EXPECT_EQ(reg.ReadInteger(THive::CurrentUser, kKey, "FirstRun"), std::nullopt);
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kKey, "FIRSTRUN"), "no");
    EXPECT_EQ(reg.ListValues(THive::CurrentUser, kKey), std::vector<std::string>{"FirstRun"});
}

TEST(Registry, NamesIgnoreCaseAndKeepTheirFirstSpelling)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    reg.WriteString(THive::CurrentUser, "Software\\Veldhaven\\State", "FirstRun", "1");
    reg.WriteString(THive::CurrentUser, "SOFTWARE\\VELDHAVEN\\STATE", "Other", "2");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, "software\\veldhaven\\state", "firstrun"), "1");
    // "Microsoft" is the way to the computed shell folders key.
    EXPECT_EQ(reg.ListSubkeys(THive::CurrentUser, "SOFTWARE"), (std::vector<std::string>{"Microsoft", "Veldhaven"}));
    EXPECT_EQ(reg.ListSubkeys(THive::CurrentUser, ""), std::vector<std::string>{"Software"});
    EXPECT_TRUE(reg.KeyExists(THive::CurrentUser, "\\software\\\\VeldHaven\\"));
}

TEST(Registry, ListsSubkeysSortedAndValuesInWrittenOrder)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    for (const char* sub : {"beta", "Alpha", "gamma"})
        reg.OpenKey(THive::CurrentUser, kKey + "\\" + sub, true);
    for (const char* name : {"Zed", "alpha", "Mid"})
        reg.WriteInteger(THive::CurrentUser, kKey, name, 0);
    EXPECT_EQ(reg.ListSubkeys(THive::CurrentUser, kKey), (std::vector<std::string>{"Alpha", "beta", "gamma"}));
    EXPECT_EQ(reg.ListValues(THive::CurrentUser, kKey), (std::vector<std::string>{"Zed", "alpha", "Mid"}));
    EXPECT_TRUE(reg.ListSubkeys(THive::CurrentUser, "Software\\Nowhere").empty());
}

TEST(Registry, OpenKeyCreatesOnlyWhenAsked)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    EXPECT_FALSE(reg.OpenKey(THive::LocalMachine, "Software\\Run", false));
    EXPECT_FALSE(reg.KeyExists(THive::LocalMachine, "Software\\Run"));
    EXPECT_TRUE(reg.OpenKey(THive::LocalMachine, "Software\\Run", true));
    EXPECT_TRUE(TRegistryStore(dir.path()).KeyExists(THive::LocalMachine, "Software\\Run"));
    EXPECT_FALSE(reg.KeyExists(THive::CurrentUser, "Software\\Run"));
}

TEST(Registry, DeleteKeyRemovesEverythingBelowIt)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    reg.WriteString(THive::CurrentUser, kKey + "\\TrashLV\\Columns", "Sizes", "10,20");
    reg.WriteString(THive::CurrentUser, kKey + "\\TrashLV\\Sort", "SortCol", "1");
    reg.WriteInteger(THive::CurrentUser, kKey + "\\TrashLV", "Top", 1);
    reg.WriteString(THive::CurrentUser, kKey + "\\QuarantineLV\\Sort", "SortCol", "2");

    EXPECT_TRUE(reg.DeleteKey(THive::CurrentUser, kKey + "\\trashlv"));
    EXPECT_FALSE(reg.KeyExists(THive::CurrentUser, kKey + "\\TrashLV\\Columns"));
    EXPECT_FALSE(reg.KeyExists(THive::CurrentUser, kKey + "\\TrashLV"));
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kKey + "\\QuarantineLV\\Sort", "SortCol"), "2");
    EXPECT_FALSE(reg.DeleteKey(THive::CurrentUser, kKey + "\\TrashLV"));
    EXPECT_FALSE(reg.DeleteKey(THive::CurrentUser, ""));
    // A recreated key starts empty.
    reg.OpenKey(THive::CurrentUser, kKey + "\\TrashLV", true);
    EXPECT_TRUE(reg.ListSubkeys(THive::CurrentUser, kKey + "\\TrashLV").empty());
    EXPECT_FALSE(TRegistryStore(dir.path()).KeyExists(THive::CurrentUser, kKey + "\\TrashLV\\Sort"));
}

TEST(Registry, DeleteValue)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    reg.WriteString(THive::CurrentUser, kKey, "A", "1");
    reg.WriteString(THive::CurrentUser, kKey, "B", "2");
    EXPECT_TRUE(reg.DeleteValue(THive::CurrentUser, kKey, "a"));
    EXPECT_FALSE(reg.DeleteValue(THive::CurrentUser, kKey, "a"));
    EXPECT_FALSE(reg.DeleteValue(THive::CurrentUser, "Software\\Nowhere", "a"));
    EXPECT_EQ(TRegistryStore(dir.path()).ListValues(THive::CurrentUser, kKey), std::vector<std::string>{"B"});
}

TEST(Registry, OneFilePerHiveAndNoTemporaryLeft)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    for (int i = 0; i < 5; ++i)
        reg.WriteInteger(THive::CurrentUser, kKey, "N", static_cast<std::uint32_t>(i));
    reg.WriteInteger(THive::LocalMachine, kKey, "N", 1);
    EXPECT_EQ(FilesIn(dir.path()), (std::vector<std::string>{"CurrentUser.lock", "CurrentUser.reg",
                                                             "LocalMachine.lock", "LocalMachine.reg"}));
}

TEST(Registry, SecondStoreSeesChangesOnDisk)
{
    TempDir dir;
    TRegistryStore first(dir.path()), second(dir.path());
    EXPECT_EQ(second.ReadString(THive::CurrentUser, kKey, "A"), std::nullopt);
    first.WriteString(THive::CurrentUser, kKey, "A", "from first");
    EXPECT_EQ(second.ReadString(THive::CurrentUser, kKey, "A"), "from first");
    second.WriteString(THive::CurrentUser, kKey, "A", "from second");
    EXPECT_EQ(first.ReadString(THive::CurrentUser, kKey, "A"), "from second");
    first.DeleteKey(THive::CurrentUser, kKey);
    EXPECT_FALSE(second.KeyExists(THive::CurrentUser, kKey));
}

TEST(Registry, DamagedFileReadsAsEmptyAndIsReplacedOnWrite)
{
    TempDir dir;
    test::WriteFileBytes(dir.path() / "CurrentUser.reg", "garbage\nK x\nS a b\n");
    TRegistryStore reg(dir.path());
    EXPECT_FALSE(reg.KeyExists(THive::CurrentUser, "x"));
    reg.WriteString(THive::CurrentUser, "y", "v", "1");
    EXPECT_EQ(TRegistryStore(dir.path()).ReadString(THive::CurrentUser, "y", "v"), "1");
}

// Two stores on one folder are two copies of the program: each holds its
// own lock file description, so this is the cross-process case.
TEST(Registry, ConcurrentWritersKeepEachOthersValues)
{
    TempDir dir;
    constexpr int kEach = 40;
    auto writer = [&](const std::string& prefix) {
        TRegistryStore reg(dir.path());
        for (int i = 0; i < kEach; ++i)
            reg.WriteInteger(THive::CurrentUser, kKey, prefix + std::to_string(i), static_cast<std::uint32_t>(i));
    };
    std::thread a(writer, "a"), b(writer, "b");
    a.join();
    b.join();
    EXPECT_EQ(TRegistryStore(dir.path()).ListValues(THive::CurrentUser, kKey).size(), 2u * kEach);
}

TEST(Registry, WriterInAnotherProcessDoesNotLoseOurWrites)
{
    TempDir dir;
    constexpr int kEach = 30;
    TRegistryStore reg(dir.path());
    reg.WriteString(THive::CurrentUser, kKey, "before", "1"); // loaded before the child starts
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        TRegistryStore own(dir.path());
        for (int i = 0; i < kEach; ++i)
            own.WriteInteger(THive::CurrentUser, kKey, "child" + std::to_string(i), 1);
        _exit(0);
    }
    for (int i = 0; i < kEach; ++i)
        reg.WriteInteger(THive::CurrentUser, kKey, "parent" + std::to_string(i), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(reg.ListValues(THive::CurrentUser, kKey).size(), 2u * kEach + 1);
}

TEST(Registry, ShellFoldersFollowTheEnvironment)
{
    TempDir dir;
    TRegistryStore reg(dir.path());
    ScopedEnv data("XDG_DATA_HOME", "/srv/data");
    ScopedEnv docs("XDG_DOCUMENTS_DIR", "/srv/docs");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "Local AppData"), "/srv/data");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "personal"), "/srv/docs");
    ScopedEnv data2("XDG_DATA_HOME", "/srv/other");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "Local AppData"), "/srv/other");
    EXPECT_TRUE(reg.KeyExists(THive::CurrentUser, kShell));
    EXPECT_TRUE(reg.KeyExists(THive::CurrentUser, "software\\microsoft"));
    EXPECT_FALSE(reg.KeyExists(THive::LocalMachine, kShell));
    EXPECT_EQ(reg.ListValues(THive::CurrentUser, kShell), (std::vector<std::string>{"Local AppData", "Personal"}));
    EXPECT_EQ(reg.ListSubkeys(THive::CurrentUser, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer"),
              std::vector<std::string>{"Shell Folders"});
    // Stored values cannot shadow the computed ones.
    reg.WriteString(THive::CurrentUser, kShell, "Personal", "C:\\Documents");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "Personal"), "/srv/docs");
}

TEST(Registry, ShellFoldersFallBackToXdgDefaults)
{
    TempDir home;
    ScopedEnv h("HOME", home.path().c_str());
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    ScopedEnv docs("XDG_DOCUMENTS_DIR", nullptr);
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    TRegistryStore reg(home.path() / "reg");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "Local AppData"), (home.path() / ".local/share").string());
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "Personal"), (home.path() / "Documents").string());
    test::WriteFileBytes(home.path() / ".config/user-dirs.dirs",
                         "# written by xdg-user-dirs-update\nXDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n");
    EXPECT_EQ(reg.ReadString(THive::CurrentUser, kShell, "Personal"), (home.path() / "Dokumente").string());
}

TEST(Registry, FreeFunctionsUseTheConfigFolder)
{
    TempDir config;
    ScopedEnv c("XDG_CONFIG_HOME", config.path().c_str());
    EXPECT_EQ(RegistryFolder(), config.path() / "Veldhaven");
    RegWriteString(THive::CurrentUser, kKey, "A", "1");
    EXPECT_EQ(RegReadString(THive::CurrentUser, kKey, "a"), "1");
    EXPECT_TRUE(std::filesystem::exists(config.path() / "Veldhaven" / "CurrentUser.reg"));
    EXPECT_TRUE(RegDeleteKey(THive::CurrentUser, kKey));
    EXPECT_FALSE(RegKeyExists(THive::CurrentUser, kKey));
}

} // namespace
} // namespace bm
