// Private folders and files: what the program creates stays its owner's
// whatever the umask, and what an older run left open is tightened.
#include "platform/privatefiles.h"

#include "platform/atomicfile.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm {
namespace {

namespace fs = std::filesystem;

// The umask most desktops run with: without explicit modes it leaves
// everything readable by others.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask) : old_(::umask(mask)) {}
    ~ScopedUmask() { ::umask(old_); }

private:
    mode_t old_;
};

unsigned ModeOf(const fs::path& path)
{
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

void MakeFile(const fs::path& path, mode_t mode)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    ASSERT_GE(fd, 0);
    ::close(fd);
    ::chmod(path.c_str(), mode);
}

class PrivateFilesTest : public testing::Test {
protected:
    ScopedUmask umask_{022};
    test::TempDir dir_;
};

TEST_F(PrivateFilesTest, CreatedFoldersAreOwnerOnlyEveryLevel)
{
    const fs::path deep = dir_.path() / "Veldhaven" / "Brixmoor 1.0" / "Work" / "Bad";
    std::error_code ec;
    ASSERT_TRUE(CreatePrivateFolders(deep, ec)) << ec.message();
    for (fs::path p = deep; p != dir_.path(); p = p.parent_path())
        EXPECT_EQ(ModeOf(p), 0700u) << p;
}

TEST_F(PrivateFilesTest, ExistingFolderIsLeftAsItIs)
{
    // Creating is not tightening: a folder the user shares on purpose
    // outside the data folder keeps its mode.
    ::chmod(dir_.path().c_str(), 0755);
    std::error_code ec;
    ASSERT_TRUE(CreatePrivateFolders(dir_.path(), ec));
    EXPECT_EQ(ModeOf(dir_.path()), 0755u);
}

TEST_F(PrivateFilesTest, FolderUnderAFileFailsWithTheReason)
{
    MakeFile(dir_.path() / "file", 0600);
    std::error_code ec;
    EXPECT_FALSE(CreatePrivateFolders(dir_.path() / "file" / "sub", ec));
    EXPECT_TRUE(ec);
}

TEST_F(PrivateFilesTest, AtomicWriteMakesANewFileAndItsFolderOwnerOnly)
{
    const fs::path fresh = dir_.path() / "new" / "options.ini";
    WriteFileAtomic(fresh, "a");
    EXPECT_EQ(ModeOf(fresh), 0600u);
    EXPECT_EQ(ModeOf(fresh.parent_path()), 0700u);
    const fs::path unsynced = dir_.path() / "new2" / "a.msg";
    WriteFileAtomicUnsynced(unsynced, "b");
    EXPECT_EQ(ModeOf(unsynced), 0600u);
    EXPECT_EQ(ModeOf(unsynced.parent_path()), 0700u);
}

TEST_F(PrivateFilesTest, TighteningReachesEveryFolderAndFileButNoLinkTarget)
{
    const fs::path data = dir_.path() / "data";
    fs::create_directories(data / "Work" / "Bad");
    for (const fs::path& p : {data, data / "Work", data / "Work" / "Bad"})
        ::chmod(p.c_str(), 0755);
    const fs::path outside = dir_.path() / "outside.txt";
    MakeFile(outside, 0644);
    const std::vector<fs::path> files{data / "quarantine.db",   data / "quarantine.db-wal",
                                      data / "quarantine.db-shm", data / "brixmoor.log",
                                      data / "options.ini",     data / "Work" / "a.msg",
                                      data / "Work" / "Bad" / "b.msg"};
    for (const auto& f : files)
        MakeFile(f, 0664);
    fs::create_symlink(outside, data / "link");

    EXPECT_EQ(TightenPrivateTree(data), 0);

    for (const fs::path& p : {data, data / "Work", data / "Work" / "Bad"})
        EXPECT_EQ(ModeOf(p), 0700u) << p;
    for (const auto& f : files)
        EXPECT_EQ(ModeOf(f), 0600u) << f;
    EXPECT_EQ(ModeOf(outside), 0644u);
}

TEST_F(PrivateFilesTest, TighteningAMissingFolderIsNoFailure)
{
    EXPECT_EQ(TightenPrivateTree(dir_.path() / "missing"), 0);
}

} // namespace
} // namespace bm
