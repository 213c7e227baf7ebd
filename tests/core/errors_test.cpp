// The error list and ReportError: what is ignored, what the list and the trace
// receive, and the hand-over from a worker thread.
#include "core/errorsU.h"

#include "core/loggerU.h"
#include "core/synchronize.h"
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bm {
namespace {

// Each test starts with an empty global list, no hook, and the global trace
// log on a file of its own.
class ErrorsTest : public testing::Test {
protected:
    void SetUp() override
    {
        ErrorList().Clear();
        OnErrorReported = nullptr;
        OpenTrace(dir_.path() / "brixmoor.log");
    }
    void TearDown() override
    {
        CloseTrace();
        OnErrorReported = nullptr;
        ErrorList().Clear();
    }
    std::string TraceText()
    {
        FlushTrace();
        return test::ReadFileBytes(dir_.path() / "brixmoor.log");
    }

    test::TempDir dir_;
};

struct IgnoredCase {
    const char* Name;
    const char* Message;
};

class GracefulCloseTest : public ErrorsTest, public testing::WithParamInterface<IgnoredCase> {};

TEST_P(GracefulCloseTest, IsIgnored)
{
    bool hookRan = false;
    OnErrorReported = [&](const std::string&, const std::string&) { hookRan = true; };
    ReportError(GetParam().Message, "Home");
    EXPECT_EQ(ErrorList().Count(), 0u);
    EXPECT_FALSE(hookRan);
    EXPECT_EQ(TraceText().find("\tError\t"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Messages, GracefulCloseTest,
    testing::Values(IgnoredCase{"Exact", "Connection Closed Gracefully."},
                    IgnoredCase{"Inside", "POP3 error: Connection Closed Gracefully. (retr)"}),
    [](const auto& info) { return std::string(info.param.Name); });

TEST_F(ErrorsTest, MultiLineMessageIsOneTraceLineAndKeepsItsLinesInTheList)
{
    const TDateTime before = Now();
    ReportError("  -ERR mailbox locked\r\nTry later \r\n", "Home");
    ASSERT_EQ(ErrorList().Count(), 1u);
    const TError error = ErrorList().Item(0);
    EXPECT_EQ(error.Message, "-ERR mailbox locked\r\nTry later");
    EXPECT_EQ(error.Account, "Home");
    EXPECT_GE(error.Time, before);
    EXPECT_LE(error.Time, Now());
    EXPECT_NE(TraceText().find("\tError\tHome\t  -ERR mailbox locked Try later  \r\n"), std::string::npos);
}

TEST_F(ErrorsTest, HookGetsTheAccountAndTheUntrimmedMessage)
{
    std::string account;
    std::string message;
    std::size_t countInHook = 0;
    OnErrorReported = [&](const std::string& a, const std::string& m) {
        account = a;
        message = m;
        countInHook = ErrorList().Count();
    };
    ReportError(" Dial failed\r\n", "General");
    EXPECT_EQ(account, "General");
    EXPECT_EQ(message, " Dial failed\r\n");
    EXPECT_EQ(countInHook, 1u);   // the error is in the list when the hook runs
}

TEST_F(ErrorsTest, WithoutHookErrorsWaitAndAreTakenTogether)
{
    ReportError("first", "Home");
    ReportError("Unknown account - unable to send message", "Unknown");
    const std::vector<TError> all = ErrorList().TakeAll();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].Message, "first");
    EXPECT_EQ(all[1].Account, "Unknown");
    EXPECT_EQ(ErrorList().Count(), 0u);
}

TEST_F(ErrorsTest, ItemOutOfRangeThrows)
{
    EXPECT_THROW(ErrorList().Item(0), std::out_of_range);
}

TEST_F(ErrorsTest, WorkerThreadHandsTheErrorToTheMainThread)
{
    std::atomic<bool> done{false};
    bool hookOnMain = false;
    OnErrorReported = [&](const std::string&, const std::string&) { hookOnMain = IsMainThread(); };
    std::thread worker([&] {
        ReportError("timed out", "Work");
        done = true;
    });
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_TRUE(hookOnMain);
    ASSERT_EQ(ErrorList().Count(), 1u);
    EXPECT_EQ(ErrorList().Item(0).Account, "Work");
}

struct TrimCase {
    const char* Name;
    std::string Text;
    std::string Trimmed;
};

class TrimTextTest : public testing::TestWithParam<TrimCase> {};

TEST_P(TrimTextTest, RemovesBlanksAndControlCharactersAtTheEnds)
{
    EXPECT_EQ(TrimText(GetParam().Text), GetParam().Trimmed);
}

INSTANTIATE_TEST_SUITE_P(Texts, TrimTextTest,
    testing::Values(TrimCase{"Empty", "", ""},
                    TrimCase{"OnlyBlanks", " \t\r\n", ""},
                    TrimCase{"Controls", std::string("\x01 a b\x1f\0", 7), "a b"},
                    TrimCase{"Utf8Kept", "\xC3\xA9 ", "\xC3\xA9"}),
    [](const auto& info) { return std::string(info.param.Name); });

} // namespace
} // namespace bm
