// The store's files are its owner's only: the quarantine database with its
// -wal and -shm, and the message files with their account folders.
#include "store/dbU.h"
#include "store/msgfilesU.h"

#include "core/commonsU.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm {
namespace {

namespace fs = std::filesystem;

unsigned ModeOf(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

class PrivateStoreFilesTest : public testing::Test {
protected:
    void SetUp() override
    {
        oldMask_ = ::umask(022);
        const char* old = std::getenv("XDG_DATA_HOME");
        oldXdg_ = old ? old : "";
        setenv("XDG_DATA_HOME", dir_.path().c_str(), 1);
    }
    void TearDown() override
    {
        setenv("XDG_DATA_HOME", oldXdg_.c_str(), 1);
        ::umask(oldMask_);
    }
    test::TempDir dir_;
    std::string oldXdg_;
    mode_t oldMask_{};
};

TEST_F(PrivateStoreFilesTest, NewDatabaseAndItsWalAndShmAreOwnerOnly)
{
    const fs::path file = dir_.path() / "quarantine.db";
    TDatabase db(file);
    db.Exec("CREATE TABLE t(x)");
    db.Exec("INSERT INTO t VALUES (1)");
    for (const char* suffix : {"", "-wal", "-shm"})
        EXPECT_EQ(ModeOf(file.string() + suffix), 0600u) << suffix;
}

TEST_F(PrivateStoreFilesTest, DatabaseLeftReadableIsTightenedAtOpen)
{
    const fs::path file = dir_.path() / "quarantine.db";
    {
        TDatabase db(file);
        db.Exec("CREATE TABLE t(x)");
    }
    ::chmod(file.c_str(), 0644);
    TDatabase db(file);
    db.Exec("INSERT INTO t VALUES (1)");
    EXPECT_EQ(ModeOf(file), 0600u);
    EXPECT_EQ(ModeOf(file.string() + "-wal"), 0600u);
}

TEST_F(PrivateStoreFilesTest, MessageFileAndAccountFoldersAreOwnerOnly)
{
    SaveMessageText("Work", "id1", true, "Subject: x\r\n\r\nbody\r\n.\r\n");
    const fs::path file = MessageFilePath("Work", "id1", true);
    EXPECT_EQ(ModeOf(file), 0600u);
    EXPECT_EQ(ModeOf(file.parent_path()), 0700u);              // Work/Bad
    EXPECT_EQ(ModeOf(file.parent_path().parent_path()), 0700u);  // Work
    EXPECT_EQ(ModeOf(GetDataFolder()), 0700u);
}

} // namespace
} // namespace bm
