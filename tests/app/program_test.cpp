// The built program, run as separate processes: the single-instance
// hand-over and the close request between real copies.
#include "platform/instancelock.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <gtest/gtest.h>

namespace bm {
namespace {

using namespace std::chrono_literals;

const std::filesystem::path kProgram = std::filesystem::path(BRIXMOOR_BINARY_DIR) / "ui" / "brixmoor";

class Program : public testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(kProgram))
            GTEST_SKIP() << "build the brixmoor target first: " << kProgram;
    }

    // The test main gave this process private XDG folders; children inherit
    // them, without a display so the normal run is the headless one.
    static void Start(QProcess& p, const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(QString::fromStdString(kProgram.string()), args);
    }

    // Waits until a copy holds the lock; false when the copy ended first.
    static bool WaitForLock(QProcess& p)
    {
        TInstanceLock probe("BrixmoorMutex");
        for (int i = 0; i < 800; ++i) {
            if (probe.IsAnotherRunning(0ms))
                return true;
            // Paces the loop: returns after 25 ms while the copy runs.
            if (p.waitForFinished(25) || p.state() == QProcess::NotRunning) {
                ADD_FAILURE() << "ended early: " << p.readAll().toStdString();
                return false;
            }
        }
        return false;
    }

    static int Run(const QStringList& args)
    {
        QProcess p;
        Start(p, args);
        if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit)
            return -1;
        return p.exitCode();
    }
};

TEST_F(Program, SecondCopyWakesTheFirstAndUninstallClosesIt)
{
    QProcess first;
    Start(first, {"--headless"});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(WaitForLock(first));

    EXPECT_EQ(Run({}), 0); // the second copy ends at once
    QByteArray err;
    while (!err.contains("show request") && first.waitForReadyRead(20000))
        err += first.readAll();
    EXPECT_TRUE(err.contains("show request")) << err.toStdString();

    EXPECT_EQ(Run({"/UNINSTALL"}), 0);
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
}

TEST_F(Program, TerminationSignalShutsDownInOrder)
{
    QProcess first;
    Start(first, {"--headless"});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(WaitForLock(first));
    first.terminate(); // SIGTERM
    ASSERT_TRUE(first.waitForFinished(20000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(TInstanceLock("BrixmoorMutex").IsAnotherRunning(0ms));
}

TEST_F(Program, UnknownArgumentEndsAtOnce)
{
    EXPECT_EQ(Run({"/install"}), 0);
    EXPECT_EQ(Run({"--version"}), 0);
}

} // namespace
} // namespace bm
