#include "tests/support/tier.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>
#include <iostream>
#include <memory>
#include <sys/socket.h>

namespace bm::test {

namespace {

std::atomic<bool> enforcing{false};
std::atomic<const testing::TestInfo*> lastBreached{nullptr};

// The first line of the skip message, or a stand-in when the test gave none.
std::string SkipReason(const testing::TestResult& result)
{
    for (int i = 0; i < result.total_part_count(); ++i) {
        const testing::TestPartResult& part = result.GetTestPartResult(i);
        if (part.skipped()) {
            std::string message = part.message();
            message = message.substr(0, message.find('\n'));
            return message.empty() ? "no reason given" : message;
        }
    }
    return "no reason given";
}

// gtest's own printer, except that a skipped test is not announced as
// skipped: CTest takes gtest's skip line as "skipped" whatever the exit code,
// and with CI set a skipped peer-backed test has to fail (FinishRun).
class StrictSkipPrinter : public testing::TestEventListener {
public:
    explicit StrictSkipPrinter(testing::TestEventListener* printer) : printer_(printer) {}

    void OnTestProgramStart(const testing::UnitTest& u) override { printer_->OnTestProgramStart(u); }
    void OnTestIterationStart(const testing::UnitTest& u, int i) override { printer_->OnTestIterationStart(u, i); }
    void OnEnvironmentsSetUpStart(const testing::UnitTest& u) override { printer_->OnEnvironmentsSetUpStart(u); }
    void OnEnvironmentsSetUpEnd(const testing::UnitTest& u) override { printer_->OnEnvironmentsSetUpEnd(u); }
    void OnTestSuiteStart(const testing::TestSuite& s) override { printer_->OnTestSuiteStart(s); }
    void OnTestStart(const testing::TestInfo& t) override { printer_->OnTestStart(t); }
    void OnTestPartResult(const testing::TestPartResult& r) override { printer_->OnTestPartResult(r); }
    void OnTestEnd(const testing::TestInfo& t) override
    {
        if (t.result()->Skipped())
            std::cout << "[  FAILED  ] " << t.test_suite_name() << "." << t.name() << " (skipped)" << std::endl;
        else
            printer_->OnTestEnd(t);
    }
    void OnTestSuiteEnd(const testing::TestSuite& s) override { printer_->OnTestSuiteEnd(s); }
    void OnEnvironmentsTearDownStart(const testing::UnitTest& u) override { printer_->OnEnvironmentsTearDownStart(u); }
    void OnEnvironmentsTearDownEnd(const testing::UnitTest& u) override { printer_->OnEnvironmentsTearDownEnd(u); }
    void OnTestIterationEnd(const testing::UnitTest& u, int i) override
    {
        if (u.skipped_test_count() == 0)
            printer_->OnTestIterationEnd(u, i);
        else
            std::cout << "[==========] " << u.test_to_run_count() << " tests ran, " << u.skipped_test_count()
                      << " could not run" << std::endl;
    }
    void OnTestProgramEnd(const testing::UnitTest& u) override { printer_->OnTestProgramEnd(u); }

private:
    std::unique_ptr<testing::TestEventListener> printer_;
};

} // namespace

// One failure per test is enough to point at the map.
void Breach(const std::string& what)
{
    if (!enforcing.load())
        return;
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    if (test == nullptr || lastBreached.exchange(test) == test)
        return;
    ADD_FAILURE() << "a test of tier \"" << CurrentTier() << "\" " << what
                  << " (list its suite under the right label in tests/CMakeLists.txt)";
}

const std::string& CurrentTier()
{
    static const std::string tier = [] {
        const char* t = std::getenv("BRIXMOOR_TEST_TIER");
        return std::string(t ? t : "");
    }();
    return tier;
}

void EnforceTier()
{
    enforcing = !CurrentTier().empty();
    if (SkipsFail()) {
        testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
        listeners.Append(new StrictSkipPrinter(listeners.Release(listeners.default_result_printer())));
    }
}

void CheckTierAllowsProgram(const std::string& program)
{
    const std::string& tier = CurrentTier();
    if (tier == "unit" || (tier == "loopback" && program != "/usr/bin/openssl"))
        Breach("started " + program);
}

bool SkipsFail()
{
    const char* ci = std::getenv("CI");
    return ci && *ci && (CurrentTier() == "peers" || CurrentTier() == "crash");
}

int FinishRun(int gtestResult)
{
    const bool strict = SkipsFail();
    int result = gtestResult;
    const testing::UnitTest& run = *testing::UnitTest::GetInstance();
    for (int s = 0; s < run.total_test_suite_count(); ++s) {
        const testing::TestSuite& suite = *run.GetTestSuite(s);
        for (int t = 0; t < suite.total_test_count(); ++t) {
            const testing::TestInfo& test = *suite.GetTestInfo(t);
            if (!test.should_run() || !test.result()->Skipped())
                continue;
            const std::string reason = SkipReason(*test.result());
            if (strict) {
                std::cout << "brixmoor-test: " << suite.name() << "." << test.name()
                          << " could not run with CI set: " << reason << std::endl;
                result = 1;
            } else {
                std::cout << "brixmoor-test: skipped (" << reason << ")" << std::endl;
            }
        }
    }
    return result;
}

} // namespace bm::test

// A unit test must not reach the network: every inet socket the test
// process opens passes here (socketpair and local sockets are left alone).
extern "C" int socket(int domain, int type, int protocol)
{
    using Socket = int (*)(int, int, int);
    static const Socket next = reinterpret_cast<Socket>(::dlsym(RTLD_NEXT, "socket"));
    if ((domain == AF_INET || domain == AF_INET6) && bm::test::CurrentTier() == "unit")
        bm::test::Breach("opened an inet socket");
    return next(domain, type, protocol);
}
