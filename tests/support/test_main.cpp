// Entry of every test executable: runs the tests inside a QCoreApplication
// (so code that hands work to the main thread has an event loop to hand it
// to) with XDG folders of its own, so no test touches the real home. The
// tier CTest runs it under is enforced, and skips are reported (tier.h).
#include "tests/support/testenv.h"
#include "tests/support/tier.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    bm::test::PrivateHome home;
    QCoreApplication app(argc, argv);
    bm::test::EnforceTier();
    return bm::test::FinishRun(RUN_ALL_TESTS());
}
