// Entry of every test executable: runs the tests inside a QCoreApplication
// (so code that hands work to the main thread has an event loop to hand it
// to) with XDG folders of its own, so no test touches the real home.
#include "tests/support/testenv.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    bm::test::PrivateHome home;
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
