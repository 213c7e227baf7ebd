#include "core/synchronize.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <stdexcept>
#include <thread>

namespace {

// Runs the event loop until the worker is done, as the main thread must.
void RunUntil(const std::atomic<bool>& done)
{
    while (!done)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST(Synchronize, RunsOnMainThreadAndWaits)
{
    std::atomic<bool> done{false};
    QThread* ranOn = nullptr;
    bool sawResult = false;
    std::thread worker([&] {
        int value = 0;
        bm::Synchronize([&] {
            ranOn = QThread::currentThread();
            value = 42;
        });
        sawResult = value == 42;  // the handler has run before Synchronize returns
        done = true;
    });
    RunUntil(done);
    worker.join();
    EXPECT_EQ(ranOn, QCoreApplication::instance()->thread());
    EXPECT_TRUE(sawResult);
}

TEST(Synchronize, RethrowsInTheWorker)
{
    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            bm::Synchronize([] { throw std::runtime_error("handler failed"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    RunUntil(done);
    worker.join();
    EXPECT_EQ(caught, "handler failed");
}

TEST(Synchronize, OnMainThreadRunsAtOnce)
{
    bool ran = false;
    bm::Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_TRUE(bm::IsMainThread());
}

} // namespace
