// Crash safety of the headless program: copies are killed (SIGKILL) at
// random moments while they check a real Dovecot mailbox, restarted, and
// killed again; a last copy checks to the end. Then every message is either
// still on the server or stored exactly once (inbox or quarantine), and the
// local POP3 server serves every inbox message with its body intact.
//
// Runs only when BRIXMOOR_CRASH_TRIALS is set (tests/crash/kill-test.sh sets
// it); needs root for the Dovecot fixture.
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "tests/support/dovecot.h"
#include "tests/support/rawsocket.h"
#include "tests/support/testenv.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <initializer_list>
#include <iostream>
#include <map>
#include <random>
#include <regex>
#include <unistd.h>

namespace bm::test {
namespace {

namespace fs = std::filesystem;

const fs::path kProgram = fs::path(BRIXMOOR_BINARY_DIR) / "ui" / "brixmoor";
constexpr int kFirstMessages = 200;
constexpr int kMessagesPerTrial = 10;
constexpr const char* kBindRefused = "Could not bind socket";

int EnvInt(const char* name, int fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

std::string Marker(int i)
{
    return "Crash-Test-Message-" + std::to_string(i) + ".";
}

std::string Body(int i)
{
    std::string body;
    for (int line = 0; line < 40; ++line)
        body += Marker(i) + " line " + std::to_string(line) + " of a message body long enough to take a while.\r\n";
    return body + ".leading dot line\r\n";
}

std::string Message(int i)
{
    return "From: Friend <friend@example.org>\r\nTo: joe@example.com\r\nSubject: Message " + std::to_string(i) +
           "\r\nMessage-ID: <" + std::to_string(i) + "@example.org>\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000\r\n\r\n" +
           Body(i);
}

// The message number of a text, from its marker; -1 when it has none.
int NumberOf(const std::string& text)
{
    static const std::regex re("Crash-Test-Message-([0-9]+)\\.");
    std::smatch m;
    return std::regex_search(text, m, re) ? std::stoi(m[1]) : -1;
}

class CrashSafety : public testing::Test {
protected:
    TempDir home;
    fs::path data;
    std::unique_ptr<DovecotServer> dovecot;
    int delivered = 0;

    void SetUp() override
    {
        if (!std::getenv("BRIXMOOR_CRASH_TRIALS"))
            GTEST_SKIP() << "set BRIXMOOR_CRASH_TRIALS (tests/crash/kill-test.sh)";
        if (::geteuid() != 0)
            GTEST_SKIP() << "the Dovecot fixture needs root";
        if (!fs::exists(kProgram))
            GTEST_SKIP() << "build the brixmoor target first";
        dovecot = std::make_unique<DovecotServer>();
        dovecot->AddUser("joe", "secret");
        data = home.path() / "data" / "Veldhaven" / "Brixmoor 2.0";
        fs::create_directories(data);
        WriteConfiguration();
        Deliver(kFirstMessages);
    }

    void Deliver(int count)
    {
        for (int n = 0; n < count; ++n)
            dovecot->Deliver("joe", Message(delivered++));
    }

    // One account on the private Dovecot; its sender is a friend, so every
    // message goes to the inbox.
    void WriteConfiguration()
    {
        TOptions options;
        options.SaveToFile(data / "options.ini");
        TAccountList accounts(options);
        auto a = std::make_shared<TAccount>(options);
        TAccountValues v;
        v.Name = "Home";
        v.Incoming.Server = "127.0.0.1";
        v.Incoming.Port = dovecot->Pop3Port();
        v.Incoming.UserName = "joe";
        v.Incoming.Password = "secret";
        v.Outgoing.Server = "127.0.0.1";
        v.Outgoing.Port = 9;
        v.Outgoing.EMailAddresses = {"joe@example.com"};
        v.Outgoing.DefaultEMailAddress = "joe@example.com";
        a->SetValues(v);
        accounts.Add(a);
        accounts.SaveToFile(data / "accounts.ini");
        TWhiteList friends;
        friends.AddAddress("friend@example.org");
        friends.SaveToFile(data / "whitelist.txt");
    }

    void Start(QProcess& p)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.remove("WAYLAND_DISPLAY");
        const QString r = QString::fromStdString(home.path().string());
        fs::create_directories(home.path() / "runtime");
        fs::permissions(home.path() / "runtime", fs::perms::owner_all);
        env.insert("HOME", r);
        env.insert("XDG_DATA_HOME", r + "/data");
        env.insert("XDG_CONFIG_HOME", r + "/config");
        env.insert("XDG_RUNTIME_DIR", r + "/runtime");
        p.setProcessEnvironment(env);
        p.setReadChannel(QProcess::StandardError);
        p.start(QString::fromStdString(kProgram.string()), {"--headless"});
        ASSERT_TRUE(p.waitForStarted());
    }

    // Reads standard error until one of the texts appears; false when the
    // copy ended first.
    static bool WaitForLine(QProcess& p, QByteArray& err, std::initializer_list<const char*> texts,
                            int timeoutMs = 60000)
    {
        const auto seen = [&] {
            return std::any_of(texts.begin(), texts.end(), [&](const char* t) { return err.contains(t); });
        };
        while (!seen()) {
            if (p.state() == QProcess::NotRunning || !p.waitForReadyRead(timeoutMs))
                return seen();
            err += p.readAllStandardError();
        }
        return true;
    }

    // Starts a copy and waits until its local POP3 server listens. A restart
    // binds the ports the first start chose and saved; when another program
    // took one of them meanwhile, that copy is killed (one more crash for it)
    // and the saved ports are cleared, so the next copy chooses free ones again.
    void StartListening(QProcess& p, QByteArray& err)
    {
        constexpr int kAttempts = 5;
        for (int attempt = 1;; ++attempt) {
            err.clear();
            Start(p);
            ASSERT_TRUE(WaitForLine(p, err, {"Local POP3 server listening", kBindRefused})) << err.toStdString();
            if (!err.contains(kBindRefused))
                return;
            ASSERT_LT(attempt, kAttempts) << err.toStdString();
            std::cout << "restart " << attempt << " found a saved port taken; choosing again" << std::endl;
            p.kill();
            ASSERT_TRUE(p.waitForFinished(30000));
            ForgetPorts();
        }
    }

    void ForgetPorts() const
    {
        TOptions options;
        options.LoadFromFile(data / "options.ini");
        options.SetPOP3Port(0);
        options.SetPOP3PortSSL(0);
        options.SetSMTPPort(0);
        options.SetSMTPPortSSL(0);
        options.SaveToFile(data / "options.ini");
    }

    // Every stored copy of each message: number -> files.
    std::map<int, std::vector<fs::path>> StoredMessages() const
    {
        std::map<int, std::vector<fs::path>> stored;
        for (const fs::path& folder : {data / "Home", data / "Home" / "Bad"}) {
            if (!fs::exists(folder))
                continue;
            for (const auto& e : fs::directory_iterator(folder))
                if (e.is_regular_file() && e.path().extension() == ".msg")
                    stored[NumberOf(ReadFileBytes(e.path()))].push_back(e.path());
        }
        return stored;
    }

    std::map<int, int> OnServer() const
    {
        std::map<int, int> on;
        for (const auto& m : dovecot->ListMessages("joe"))
            ++on[NumberOf(m)];
        return on;
    }
};

// A POP3 client for the program's own server, as a mail client logs in.
class LocalPop3 {
public:
    explicit LocalPop3(std::uint16_t port) : c_(port) {}
    bool Login()
    {
        return c_.Ok() && Ok(c_.ReadLine()) && Command("USER joe@127.0.0.1") && Command("PASS secret");
    }
    int Count()
    {
        c_.Send("STAT\r\n");
        const std::string r = c_.ReadLine();
        return Ok(r) ? std::atoi(r.c_str() + 4) : -1;
    }
    // The message text, dot-unstuffed, without the final "." line.
    std::string Retrieve(int n)
    {
        if (!Command("RETR " + std::to_string(n)))
            return {};
        std::string text;
        for (;;) {
            std::string line = c_.ReadLine();
            if (line.empty() || line == ".\r\n")
                return text;
            text += line.rfind("..", 0) == 0 ? line.substr(1) : line;
        }
    }

private:
    static bool Ok(const std::string& r) { return r.rfind("+OK", 0) == 0; }
    bool Command(const std::string& c) { return c_.Send(c + "\r\n") && Ok(c_.ReadLine()); }
    RawConnection c_;
};

TEST_F(CrashSafety, KilledChecksLoseAndDuplicateNothing)
{
    const int trials = EnvInt("BRIXMOOR_CRASH_TRIALS", 30);
    const int maxDelay = EnvInt("BRIXMOOR_CRASH_MAX_DELAY_MS", 3000);
    std::mt19937 random(EnvInt("BRIXMOOR_CRASH_SEED", static_cast<int>(::getpid())));
    std::uniform_int_distribution<int> delay(0, maxDelay);
    int finishedBeforeKill = 0;
    for (int t = 1; t <= trials; ++t) {
        QProcess p;
        QByteArray err;
        StartListening(p, err);
        if (HasFatalFailure())
            return;
        const int ms = delay(random);
        p.waitForFinished(ms); // paces the kill; the copy does not end by itself
        finishedBeforeKill += err.contains("Finished mail check") ? 1 : 0;
        p.kill();
        ASSERT_TRUE(p.waitForFinished(30000));
        const auto stored = StoredMessages();
        std::cout << "trial " << t << ": killed after " << ms << " ms, stored " << stored.size() << ", on server "
                  << dovecot->ListMessages("joe").size() << std::endl;
        Deliver(kMessagesPerTrial);
    }

    // A last copy checks to the end, then serves the inbox.
    QProcess last;
    QByteArray err;
    StartListening(last, err);
    if (HasFatalFailure())
        return;
    ASSERT_TRUE(WaitForLine(last, err, {"Finished mail check"}, 180000)) << err.toStdString();
    const QRegularExpression portRe("Local POP3 server listening on .*? port (\\d+) ");
    const auto m = portRe.match(QString::fromUtf8(err));
    ASSERT_TRUE(m.hasMatch()) << err.toStdString();
    LocalPop3 client(static_cast<std::uint16_t>(m.captured(1).toUInt()));
    ASSERT_TRUE(client.Login());
    const int served = client.Count();
    std::map<int, int> servedCount;
    int intact = 0;
    for (int n = 1; n <= served; ++n) {
        const std::string text = client.Retrieve(n);
        const int number = NumberOf(text);
        ++servedCount[number];
        const auto split = text.find("\r\n\r\n");
        if (number >= 0 && split != std::string::npos && text.substr(split + 4) == Body(number))
            ++intact;
        else
            ADD_FAILURE() << "message " << n << " served altered:\n" << text.substr(0, 600);
    }
    last.terminate();
    ASSERT_TRUE(last.waitForFinished(60000));
    EXPECT_EQ(last.exitCode(), 0);

    const auto stored = StoredMessages();
    const auto onServer = OnServer();
    int lost = 0, duplicated = 0, unchecked = 0, both = 0;
    for (int i = 0; i < delivered; ++i) {
        const auto s = stored.find(i);
        const int copies = s == stored.end() ? 0 : static_cast<int>(s->second.size());
        if (copies > 1)
            ++duplicated;
        if (copies == 0 && !onServer.count(i))
            ++lost;
        if (copies == 0 && onServer.count(i))
            ++unchecked;
        // Stored, but killed before the server committed its deletion: an
        // already stored message stays on the server and is not taken again.
        if (copies > 0 && onServer.count(i))
            ++both;
        EXPECT_LE(servedCount[i], 1) << "message " << i << " served twice";
    }
    std::cout << "crash test: " << trials << " trials (" << finishedBeforeKill << " finished before the kill), "
              << delivered << " messages, " << stored.size() << " stored, " << onServer.size()
              << " on the server (" << both << " of them also stored), " << served << " served (" << intact
              << " intact), " << lost << " lost, " << duplicated << " duplicated" << std::endl;
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
    EXPECT_EQ(unchecked, 0) << "the last check did not take every message";
    EXPECT_EQ(stored.count(-1), 0u) << "a stored file without a message";
    EXPECT_EQ(served, static_cast<int>(stored.size()));
    EXPECT_EQ(intact, served);
}

} // namespace
} // namespace bm::test
