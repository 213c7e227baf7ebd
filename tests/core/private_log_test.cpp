// The trace names senders, accounts and servers: its file is its owner's only.
#include "core/loggerU.h"

#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace bm {
namespace {

TEST(PrivateTraceFile, IsOwnerOnlyUnderAnOpenUmask)
{
    const mode_t oldMask = ::umask(022);
    test::TempDir dir;
    const auto file = dir.path() / "brixmoor.log";
    TTraceLog log;
    log.Open(file);
    log.Write({"Status", "x"}, kTraceEvent);
    const bool flushed = log.Flush();
    ::umask(oldMask);
    ASSERT_TRUE(flushed);
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

} // namespace
} // namespace bm
