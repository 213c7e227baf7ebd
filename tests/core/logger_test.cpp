// The trace log: level filter, file layout, roll-over, the ring, failures
// and concurrent writers.
#include "core/loggerU.h"

#include "core/datetimeU.h"
#include "tests/support/testenv.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace bm {
namespace {

using namespace std::chrono_literals;

class LoggerTest : public testing::Test {
protected:
    const TDateTime kStart = EncodeDate(2026, 12, 10) + EncodeTime(10, 0, 0);
    test::TempDir dir_;
    std::filesystem::path file_ = dir_.path() / "brixmoor.log";
};

std::size_t CountOf(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

TEST_F(LoggerTest, FirstFlushWritesHeaderEnabledEntryThenEntries)
{
    TScopedTestClock clock(kStart);
    TTraceLog log;
    log.Open(file_);
    clock.Advance(5123ms);
    log.Write({"Status", "Checking mail"}, kTraceEvent);
    ASSERT_TRUE(log.Flush());
    EXPECT_EQ(test::ReadFileBytes(file_),
              "Brixmoor Log\r\n\r\n"
              "0000.000 : **** Logging Enabled\r\n\r\n"
              "0005.123 : 10/12/2026 10:00:05\tStatus\tChecking mail\r\n");
    EXPECT_EQ(log.EntryCount(), 0u);
}

TEST_F(LoggerTest, LaterFlushesAppendWithoutHeader)
{
    TScopedTestClock clock(kStart);
    TTraceLog log;
    log.Open(file_);
    ASSERT_TRUE(log.Flush());
    log.Write({"second"}, kTraceEvent);
    ASSERT_TRUE(log.Flush());
    log.Close();
    TTraceLog next;
    next.Open(file_);
    next.Close();
    const std::string text = test::ReadFileBytes(file_);
    EXPECT_EQ(CountOf(text, "Brixmoor Log"), 1u);
    EXPECT_EQ(CountOf(text, "**** Logging Enabled"), 2u);
    EXPECT_NE(text.find("0000.000 : 10/12/2026 10:00:00\tsecond\r\n"), std::string::npos);
}

TEST_F(LoggerTest, LevelsBelowTwoNeverReachTheFile)
{
    TTraceLog log;
    log.Open(file_);
    log.Write({"detail"}, kTraceDetail);
    log.Write({"notable"}, kTraceNotable);
    log.Write(std::vector<std::string>{"vector notable"}, kTraceNotable);
    log.Write({"event"}, kTraceEvent);
    log.Write({"above"}, 3);
    EXPECT_EQ(log.EntryCount(), 3u);
    ASSERT_TRUE(log.Flush());
    const std::string text = test::ReadFileBytes(file_);
    EXPECT_EQ(text.find("notable"), std::string::npos);
    EXPECT_EQ(text.find("detail"), std::string::npos);
    EXPECT_NE(text.find("\tevent\r\n"), std::string::npos);
    EXPECT_NE(text.find("\tabove\r\n"), std::string::npos);
}

struct PrefixCase {
    const char* Name;
    std::uint64_t Ms;
    const char* Prefix;
};

class TracePrefixTest : public testing::TestWithParam<PrefixCase> {};

TEST_P(TracePrefixTest, Formats)
{
    EXPECT_EQ(FormatTracePrefix(GetParam().Ms), GetParam().Prefix);
}

INSTANTIATE_TEST_SUITE_P(Elapsed, TracePrefixTest,
    testing::Values(PrefixCase{"Zero", 0, "0000.000 : "},
                    PrefixCase{"Seconds", 5123, "0005.123 : "},
                    PrefixCase{"SevenDigits", 9999999, "9999.999 : "},
                    // Past 10000 s the point stays before the milliseconds.
                    PrefixCase{"EightDigits", 12345678, "12345.678 : "}),
    [](const auto& info) { return std::string(info.param.Name); });

struct RollOverCase {
    const char* Name;
    std::size_t Size;
    bool Moved;
};

class RollOverTest : public testing::TestWithParam<RollOverCase> {};

TEST_P(RollOverTest, MovesOnlyAFileAboveFourMiB)
{
    test::TempDir dir;
    const std::filesystem::path file = dir.path() / "brixmoor.log";
    std::filesystem::path old = file;
    old += ".old";
    test::WriteFileBytes(old, "previous old");
    test::WriteFileBytes(file, std::string(GetParam().Size, 'x'));
    TTraceLog log;
    log.Open(file);
    if (GetParam().Moved) {
        EXPECT_FALSE(std::filesystem::exists(file));
        EXPECT_EQ(std::filesystem::file_size(old), GetParam().Size);
    } else {
        EXPECT_EQ(std::filesystem::file_size(file), GetParam().Size);
        EXPECT_EQ(test::ReadFileBytes(old), "previous old");
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, RollOverTest,
    testing::Values(RollOverCase{"ExactlyFourMiBStays", 4194304, false},
                    RollOverCase{"OneByteMoreMoves", 4194305, true}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(LoggerTest, RingDropsTheOldestEntries)
{
    TTraceLog log;
    log.Open(file_);
    const std::string filler(1000, 'f');
    for (int i = 0; i < 100; ++i)
        log.Write({"entry" + std::to_string(i) + "#", filler}, kTraceEvent);
    EXPECT_LE(log.UsedBytes(), TTraceLog::kRingBytes);
    // Each entry costs its text (date 19 + 2 TABs + name + filler) plus 20.
    const std::size_t cost = 19 + 2 + std::string("entry10#").size() + 1000 + 20;
    const std::size_t kept = log.EntryCount();
    EXPECT_EQ(kept, TTraceLog::kRingBytes / cost);
    ASSERT_TRUE(log.Flush());
    const std::string text = test::ReadFileBytes(file_);
    EXPECT_EQ(text.find("Logging Enabled"), std::string::npos);
    EXPECT_EQ(text.find("\tentry0#"), std::string::npos);
    EXPECT_NE(text.find("\tentry99#"), std::string::npos);
    EXPECT_NE(text.find("\tentry" + std::to_string(100 - kept) + "#"), std::string::npos);
    EXPECT_EQ(text.find("\tentry" + std::to_string(99 - kept) + "#"), std::string::npos);
}

TEST_F(LoggerTest, EntryLargerThanTheRingIsDropped)
{
    TTraceLog log;
    log.Open(file_);
    log.Write({std::string(TTraceLog::kRingBytes, 'x')}, kTraceEvent);
    EXPECT_EQ(log.EntryCount(), 1u);   // the enabled entry stays
}

TEST_F(LoggerTest, FailedFlushKeepsTheEntries)
{
    const std::filesystem::path file = dir_.path() / "missing" / "brixmoor.log";
    TTraceLog log;
    log.Open(file);
    log.Write({"kept"}, kTraceEvent);
    EXPECT_FALSE(log.Flush());
    EXPECT_EQ(log.EntryCount(), 2u);
    std::filesystem::create_directory(dir_.path() / "missing");
    ASSERT_TRUE(log.Flush());
    EXPECT_NE(test::ReadFileBytes(file).find("\tkept\r\n"), std::string::npos);
}

TEST_F(LoggerTest, FlushBeforeOpenKeepsTheEntries)
{
    TTraceLog log;
    log.Write({"early"}, kTraceEvent);
    EXPECT_FALSE(log.Flush());
    log.Open(file_);
    ASSERT_TRUE(log.Flush());
    EXPECT_NE(test::ReadFileBytes(file_).find("\tearly\r\n"), std::string::npos);
}

TEST_F(LoggerTest, ConcurrentWritersLoseNoLine)
{
    TTraceLog log;
    log.Open(file_);
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log, t] {
            for (int i = 0; i < kLines; ++i)
                log.Write({"thread" + std::to_string(t), "line" + std::to_string(i)}, kTraceEvent);
        });
    }
    for (std::thread& t : threads)
        t.join();
    ASSERT_TRUE(log.Flush());
    std::istringstream in(test::ReadFileBytes(file_));
    std::string line;
    int entries = 0;
    while (std::getline(in, line)) {
        if (line.find("\tthread") == std::string::npos)
            continue;
        ++entries;
        EXPECT_EQ(line.back(), '\r');
        EXPECT_NE(line.find("\tline"), std::string::npos) << line;
    }
    EXPECT_EQ(entries, kThreads * kLines);
}

TEST(TraceDefaultsTest, DefaultFileIsInTheDataFolder)
{
    EXPECT_EQ(DefaultTraceFile().filename(), "brixmoor.log");
    EXPECT_EQ(DefaultTraceFile().parent_path().filename(), "Brixmoor 2.0");
}

} // namespace
} // namespace bm
