// The built program's headless run end to end, in a home of its own: a
// first start chooses the ports, both local servers answer, and a
// termination signal shuts it down in order with exit code 0.
#include "config/acctU.h"
#include "config/optionsU.h"
#include "core/pwdcrypt.h"
#include "tests/support/freeport.h"
#include "tests/support/rawsocket.h"
#include "tests/support/testenv.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <filesystem>
#include <gtest/gtest.h>

namespace bm::test {
namespace {

const std::filesystem::path kProgram = std::filesystem::path(BRIXMOOR_BINARY_DIR) / "ui" / "brixmoor";

QProcessEnvironment HomeAt(const std::filesystem::path& root)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    const QString r = QString::fromStdString(root.string());
    for (const char* dir : {"data", "config", "runtime", "documents"})
        std::filesystem::create_directories(root / dir);
    std::filesystem::permissions(root / "runtime", std::filesystem::perms::owner_all);
    env.insert("HOME", r);
    env.insert("XDG_DATA_HOME", r + "/data");
    env.insert("XDG_CONFIG_HOME", r + "/config");
    env.insert("XDG_RUNTIME_DIR", r + "/runtime");
    env.insert("XDG_DOCUMENTS_DIR", r + "/documents");
    return env;
}

// Starts the program's headless run in the environment, reading its
// standard error.
void StartHeadless(QProcess& p, const QProcessEnvironment& env)
{
    p.setProcessEnvironment(env);
    p.setReadChannel(QProcess::StandardError);
    p.start(QString::fromStdString(kProgram.string()), {"--headless"});
}

// Reads the child's standard error until the line of the named server
// appears; gives its plain port, 0 when the child ended first.
std::uint16_t WaitForServer(QProcess& p, QByteArray& err, const char* server)
{
    const QRegularExpression re(QString("Local %1 server listening on .*? port (\\d+) ").arg(server));
    for (;;) {
        const auto m = re.match(QString::fromUtf8(err));
        if (m.hasMatch())
            return static_cast<std::uint16_t>(m.captured(1).toUInt());
        if (!p.waitForReadyRead(20000))
            return 0;
        err += p.readAllStandardError();
    }
}

TEST(Headless, FirstStartChoosesPortsServesAndShutsDownInOrder)
{
    if (!std::filesystem::exists(kProgram))
        GTEST_SKIP() << "build the brixmoor target first: " << kProgram;
    TempDir home;
    QProcess p;
    StartHeadless(p, HomeAt(home.path()));
    ASSERT_TRUE(p.waitForStarted());
    QByteArray err;
    const std::uint16_t smtp = WaitForServer(p, err, "SMTP");
    const std::uint16_t pop3 = WaitForServer(p, err, "POP3");
    ASSERT_NE(pop3, 0) << err.toStdString();
    ASSERT_NE(smtp, 0) << err.toStdString();
    EXPECT_GE(pop3, 11000);
    EXPECT_GE(smtp, 2525);

    RawConnection pop3Client(pop3);
    ASSERT_TRUE(pop3Client.Ok());
    EXPECT_EQ(pop3Client.ReadLine().rfind("+OK", 0), 0u);
    RawConnection smtpClient(smtp);
    ASSERT_TRUE(smtpClient.Ok());
    EXPECT_EQ(smtpClient.ReadLine().rfind("220", 0), 0u);

    const std::filesystem::path data = home.path() / "data" / "Veldhaven" / "Brixmoor 2.0";
    const std::string ini = ReadFileBytes(data / "options.ini");
    EXPECT_NE(ini.find("PortNormal=" + std::to_string(pop3)), std::string::npos) << ini;
    EXPECT_NE(ini.find("PortNormal=" + std::to_string(smtp)), std::string::npos) << ini;

    p.terminate(); // SIGTERM
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);

    const std::string log = ReadFileBytes(data / "brixmoor.log");
    std::size_t at = 0;
    for (const char* step : {"Starting up", "Local SMTP server listening", "Local POP3 server listening",
                             "Termination signal", "Shutting down", "Local POP3 server stopped",
                             "Local SMTP server stopped"}) {
        const std::size_t found = log.find(step, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << log;
        if (found != std::string::npos)
            at = found;
    }
}

// An account whose server refuses the connection: the start-up check's error
// reaches standard error and the trace.
TEST(Headless, ErrorsOfACheckGoToStandardErrorAndTheTrace)
{
    if (!std::filesystem::exists(kProgram))
        GTEST_SKIP() << "build the brixmoor target first: " << kProgram;
    TempDir home;
    const QProcessEnvironment env = HomeAt(home.path());
    const std::filesystem::path data = home.path() / "data" / "Veldhaven" / "Brixmoor 2.0";
    const TClosedPort closed; // the account's server refuses the connection
    TOptions options;
    TAccountList accounts(options);
    auto a = std::make_shared<TAccount>(options);
    TAccountValues v;
    v.Name = "Home";
    v.Incoming.Server = "127.0.0.1";
    v.Incoming.Port = closed;
    v.Incoming.UserName = "joe";
    v.Incoming.Password = "secret";
    v.Outgoing.Server = "127.0.0.1";
    a->SetValues(v);
    accounts.Add(a);
    accounts.SaveToFile(data / "accounts.ini");

    QProcess p;
    StartHeadless(p, env);
    ASSERT_TRUE(p.waitForStarted());
    QByteArray err;
    while (!err.contains("Finished mail check") && p.waitForReadyRead(30000))
        err += p.readAllStandardError();
    EXPECT_TRUE(err.contains("brixmoor: error: Home: ")) << err.toStdString();
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    const std::string log = ReadFileBytes(data / "brixmoor.log");
    EXPECT_NE(log.find("\tError\tHome\t"), std::string::npos) << log;
}

// Reads the child's standard error until it holds `text` or the child ends.
bool WaitForText(QProcess& p, QByteArray& err, const char* text)
{
    while (!err.contains(text)) {
        if (!p.waitForReadyRead(30000))
            return false;
        err += p.readAllStandardError();
    }
    return true;
}

// Options carried over with a dial-up setting and one account whose stored
// password is damaged: the error is told, the file is left as it was, and
// the start-up check still runs for every account (its server refuses the
// connection, so each account reports that).
TEST(Headless, ADamagedPasswordAndADialUpSettingDoNotStopTheCheck)
{
    if (!std::filesystem::exists(kProgram))
        GTEST_SKIP() << "build the brixmoor target first: " << kProgram;
    TempDir home;
    const QProcessEnvironment env = HomeAt(home.path());
    const std::filesystem::path data = home.path() / "data" / "Veldhaven" / "Brixmoor 2.0";
    const TClosedPort closed; // the account's server refuses the connection
    WriteFileBytes(data / "options.ini", "[MailCheck]\r\nConnect=2\r\n");
    std::string ini = "[General]\r\nAccounts=2\r\n";
    for (const char* name : {"Home", "Bad"}) {
        const std::string n = name == std::string("Home") ? "1" : "2";
        ini += "[Account" + n + "]\r\nName=" + name + "\r\n[Account" + n + ".Incoming]\r\nServer=127.0.0.1\r\n" +
               "UserName=joe\r\nPort=" + std::to_string(closed.Port()) + "\r\nPassword=" + EncryptPassword("secret") +
               "\r\n[Account" + n + ".Outgoing]\r\nServer=127.0.0.1\r\n";
    }
    ini += "Password=AB12\r\n"; // Bad's outgoing password
    WriteFileBytes(data / "accounts.ini", ini);

    QProcess p;
    StartHeadless(p, env);
    ASSERT_TRUE(p.waitForStarted());
    QByteArray err;
    EXPECT_TRUE(WaitForText(p, err, "Finished mail check")) << err.toStdString();
    EXPECT_TRUE(err.contains("brixmoor: error: Bad: accounts.ini: Invalid code value - ")) << err.toStdString();
    EXPECT_TRUE(err.contains("brixmoor: error: Home: ")) << err.toStdString();
    EXPECT_TRUE(err.contains("brixmoor: error: Bad: ")) << err.toStdString();
    EXPECT_FALSE(err.contains("Mail check skipped")) << err.toStdString();
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_EQ(ReadFileBytes(data / "accounts.ini"), ini);
    const std::string log = ReadFileBytes(data / "brixmoor.log");
    EXPECT_NE(log.find("\tError\tBad\taccounts.ini: Invalid code value - "), std::string::npos) << log;
    EXPECT_NE(log.find("\tDial-up\tno phone-book entry: Connect 2 is taken as 0"), std::string::npos) << log;
}

struct SkipCase {
    const char* name;
    const char* accountsIni;  // nullptr: none
    const char* line;         // what standard error and the trace say
};

class HeadlessSkip : public testing::TestWithParam<SkipCase> {};

TEST_P(HeadlessSkip, TheSkippedStartupCheckSaysWhy)
{
    if (!std::filesystem::exists(kProgram))
        GTEST_SKIP() << "build the brixmoor target first: " << kProgram;
    TempDir home;
    const QProcessEnvironment env = HomeAt(home.path());
    const std::filesystem::path data = home.path() / "data" / "Veldhaven" / "Brixmoor 2.0";
    if (GetParam().accountsIni)
        WriteFileBytes(data / "accounts.ini", GetParam().accountsIni);
    QProcess p;
    StartHeadless(p, env);
    ASSERT_TRUE(p.waitForStarted());
    QByteArray err;
    const std::string line = std::string("brixmoor: Mail check skipped: ") + GetParam().line + "\n";
    EXPECT_TRUE(WaitForText(p, err, line.c_str())) << err.toStdString();
    p.terminate();
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 0);
    const std::string log = ReadFileBytes(data / "brixmoor.log");
    EXPECT_NE(log.find(std::string("\tMail check skipped\t") + GetParam().line + "\r\n"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Headless, HeadlessSkip,
    testing::Values(SkipCase {"NoAccounts", nullptr, "there are no accounts"},
                    SkipCase {"InvalidAccount",
                              "[General]\r\nAccounts=1\r\n[Account1]\r\nName=Home\r\n"
                              "[Account1.Incoming]\r\nServer=pop.example.com\r\nUserName=joe\r\n",
                              "Home: No outgoing (SMTP) server specified"},
                    SkipCase {"NoDefaultAccount",
                              "[General]\r\nAccounts=1\r\n[Account1]\r\nName=Home\r\nInDefaultCheck=0\r\n"
                              "[Account1.Incoming]\r\nServer=pop.example.com\r\nUserName=joe\r\n"
                              "[Account1.Outgoing]\r\nServer=smtp.example.com\r\n",
                              "no account takes part in the default check"}),
    [](const testing::TestParamInfo<SkipCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace bm::test
