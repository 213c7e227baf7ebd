// A save killed at any moment leaves options.ini old or new, never a mix.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>

#include "config/optionsU.h"
#include "tests/support/testenv.h"

namespace bm {
namespace {

using test::ReadFileBytes;
using test::TempDir;

std::string SavedText(const std::filesystem::path& file, int days)
{
    TOptions o;
    o.SetQuarantineDays(days);
    o.SaveToFile(file);
    return ReadFileBytes(file);
}

TEST(OptionsAtomicSaveTest, KilledWriterLeavesOldOrNewFile)
{
    TempDir dir;
    const auto file = dir.path() / "options.ini";
    const auto scratch = dir.path() / "scratch.ini";
    const std::string a = SavedText(scratch, 14);
    const std::string b = SavedText(scratch, 99);
    std::filesystem::remove(scratch);
    ASSERT_NE(a, b);
    SavedText(file, 14);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Saves alternately until killed.
        TOptions o;
        for (int i = 0;; ++i) {
            o.SetQuarantineDays(i % 2 ? 99 : 14);
            o.SaveToFile(file);
        }
    }
    // Every read while the child saves sees one whole version; a bounded
    // number of reads, then the child dies mid-write somewhere.
    int seenB = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < deadline; ++i) {
        const std::string text = ReadFileBytes(file);
        ASSERT_TRUE(text == a || text == b) << "torn file of " << text.size() << " bytes";
        seenB += text == b;
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    const std::string last = ReadFileBytes(file);
    EXPECT_TRUE(last == a || last == b);
    TOptions loaded;
    loaded.LoadFromFile(file);
    EXPECT_TRUE(loaded.QuarantineDays() == 14 || loaded.QuarantineDays() == 99);
    RecordProperty("reads_of_new_version", seenB);
}

} // namespace
} // namespace bm
