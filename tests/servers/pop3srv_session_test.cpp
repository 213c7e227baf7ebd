// The POP3 listener over real loopback sockets with a raw client: every
// command's reply, the listing rules, the login rule, TLS by STLS and from
// the first byte, hostile input, time-outs and stopping.

#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "servers/pop3srvmdl.h"
#include "tests/servers/pop3srv_support.h"

namespace bm {
namespace {

namespace fs = std::filesystem;
using test::Pop3Client;
using test::StoredMessage;

class Pop3Session : public ::testing::Test {
protected:
    void Start(TTlsMode mode = TTlsMode::Explicit)
    {
        server_ = std::make_unique<TLocalPOP3ServerMdl>(env_.Settings());
        server_->OnMessageDeleted = [this](TLocalPOP3ServerMdl&, const std::string& account, const std::string& id) {
            std::lock_guard lock(mutex_);
            deleted_.push_back(account + "/" + id);
        };
        server_->StartListening(mode, 0);
    }
    std::unique_ptr<Pop3Client> LoggedIn(const std::string& name = "joe@pop.example.com",
                                         const std::string& password = "secret")
    {
        auto client = std::make_unique<Pop3Client>(server_->Port());
        EXPECT_TRUE(client->Login(name, password));
        return client;
    }
    std::vector<std::string> Deleted()
    {
        std::lock_guard lock(mutex_);
        return deleted_;
    }

    test::Pop3Env env_;
    std::mutex mutex_;
    std::vector<std::string> deleted_;
    // Last, so it is stopped before what its sessions' events write to goes.
    std::unique_ptr<TLocalPOP3ServerMdl> server_;
};

TEST_F(Pop3Session, EmptyFolderListsNothing)
{
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("STAT"), "+OK 0 0");
    EXPECT_EQ(c->Cmd("LIST"), "+OK");
    EXPECT_EQ(c->Block(), "");
    EXPECT_EQ(c->Cmd("UIDL"), "+OK");
    EXPECT_EQ(c->Block(), "");
    EXPECT_EQ(c->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_EQ(c->Line(), "<closed>");
}

TEST_F(Pop3Session, SizesAreFileSizeMinusThreeAndIdsDropOnlyTheFinalMsg)
{
    env_.AddMessage("Home", "a.msg.b", std::string(1000, 'x') + ".\r\n");  // 1003 bytes
    test::WriteFileBytes(env_.DataFolder() / "Home" / "not-a-message.txt", "x.\r\n");
    test::WriteFileBytes(env_.DataFolder() / "Home" / "Bad" / "held.msg", "x.\r\n");
    fs::create_symlink(env_.DataFolder() / "Home" / "a.msg.b.msg", env_.DataFolder() / "Home" / "link.msg");
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("STAT"), "+OK 1 1000");
    EXPECT_EQ(c->Cmd("LIST"), "+OK");
    EXPECT_EQ(c->Block(), "1 1000\n");
    EXPECT_EQ(c->Cmd("LIST 1"), "+OK 1 1000");
    EXPECT_EQ(c->Cmd("UIDL 1"), "+OK 1 a.msg.b");
    EXPECT_EQ(c->Cmd("UIDL"), "+OK");
    EXPECT_EQ(c->Block(), "1 a.msg.b\n");
    EXPECT_EQ(c->Cmd("DELE 1"), "+OK Message 1 deleted");
    EXPECT_EQ(c->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_FALSE(fs::exists(env_.DataFolder() / "Home" / "a.msg.b.msg"));
    EXPECT_EQ(Deleted(), std::vector<std::string>{"Home/a.msg.b"});
}

TEST_F(Pop3Session, RetrSendsTheFileUnchanged)
{
    const std::string stored = StoredMessage("Hi", {"first", ".dotted", ".", "last"});
    env_.AddMessage("Home", "m1", stored);
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("RETR 1"), "+OK " + std::to_string(stored.size() - 3) + " octets");
    std::string got;
    ASSERT_EQ(c->Connection().ReadDotBlock(got, true, 1 << 20, test::kPop3LongMs), ReadStatus::Line);
    EXPECT_EQ(got, stored);
    EXPECT_EQ(c->Cmd("NOOP"), "+OK NOOP");
}

TEST_F(Pop3Session, RetrOfALargeFileArrivesWhole)
{
    std::string body;
    for (int i = 0; i < 40000; ++i)
        body += "line " + std::to_string(i) + " of a large message, padded to a typical length\r\n";
    const std::string stored = "Subject: big\r\n\r\n" + body + ".\r\n";
    env_.AddMessage("Home", "big", stored);
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("RETR 1"), "+OK " + std::to_string(stored.size() - 3) + " octets");
    std::string got;
    ASSERT_EQ(c->Connection().ReadDotBlock(got, true, 1 << 24, test::kPop3LongMs), ReadStatus::Line);
    EXPECT_EQ(got, stored);
}

TEST_F(Pop3Session, ADamagedFileWithoutItsFinalLineIsStillTerminated)
{
    env_.AddMessage("Home", "torn", "Subject: torn\r\n\r\nhalf a li");
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("RETR 1"), "+OK 23 octets");
    EXPECT_EQ(c->Block(), "Subject: torn\n\nhalf a li\n");
    EXPECT_EQ(c->Cmd("NOOP"), "+OK NOOP");
}

TEST_F(Pop3Session, TopSendsHeaderAndTheFirstBodyLines)
{
    env_.AddMessage("Home", "m1", StoredMessage("Hi", {"one", ".two", "three"}));
    env_.AddMessage("Home", "noheaderend", "Subject: x\r\nX-A: y\r\n.\r\n");
    Start();
    auto c = LoggedIn();
    const std::string header = "From: ann@example.net\nTo: joe@example.com\nSubject: Hi\n\n";
    // The listing order is the file system's: find which number is which.
    const std::string n = c->Cmd("UIDL 1") == "+OK 1 m1" ? "1" : "2";
    const std::string other = n == "1" ? "2" : "1";
    EXPECT_EQ(c->Cmd("TOP " + n + " 0"), "+OK 0 lines");
    EXPECT_EQ(c->Block(), header);
    EXPECT_EQ(c->Cmd("TOP " + n + " 2"), "+OK 2 lines");
    EXPECT_EQ(c->Block(), header + "one\n..two\n");
    EXPECT_EQ(c->Cmd("TOP " + n + " 1000"), "+OK 1000 lines");
    EXPECT_EQ(c->Block(), header + "one\n..two\nthree\n");
    // A message without an empty line is all header (RFC 1939 §7).
    EXPECT_EQ(c->Cmd("TOP " + other + " 0"), "+OK 0 lines");
    EXPECT_EQ(c->Block(), "Subject: x\nX-A: y\n");
    EXPECT_EQ(c->Cmd("TOP " + n + " x"), "-ERR Invalid Message Number");
    EXPECT_EQ(c->Cmd("TOP " + n), "-ERR Invalid Message Number");
    EXPECT_EQ(c->Cmd("TOP 9 1"), "-ERR TOP: Unknown message ID/nbr (#9 out of bounds)");
}

// RFC 1939 §5, §6: DELE marks, the marked message leaves the listings but
// keeps its number's place, and only QUIT removes the file.
TEST_F(Pop3Session, DeleMarksAndQuitRemoves)
{
    env_.AddMessage("Home", "m1", StoredMessage("1", {"a"}));
    env_.AddMessage("Home", "m2", StoredMessage("2", {"b"}));
    Start();
    auto c = LoggedIn();
    const std::string first = c->Cmd("UIDL 1").substr(6);
    const std::string second = first == "m1" ? "m2" : "m1";
    const fs::path firstFile = env_.DataFolder() / "Home" / (first + ".msg");
    const std::string size = std::to_string(StoredMessage("1", {"a"}).size() - 3);
    EXPECT_EQ(c->Cmd("DELE 1"), "+OK Message 1 deleted");
    EXPECT_TRUE(fs::exists(firstFile));
    EXPECT_EQ(c->Cmd("DELE 1"), "-ERR DELE: Unknown message ID/nbr - unable to delete " + firstFile.string());
    EXPECT_EQ(c->Cmd("STAT"), "+OK 1 " + size);
    EXPECT_EQ(c->Cmd("LIST"), "+OK");
    EXPECT_EQ(c->Block(), "2 " + size + "\n");
    EXPECT_EQ(c->Cmd("UIDL"), "+OK");
    EXPECT_EQ(c->Block(), "2 " + second + "\n");
    EXPECT_EQ(c->Cmd("RETR 1"), "-ERR Message 1 already deleted");
    EXPECT_EQ(c->Cmd("TOP 1 0"), "-ERR Message 1 already deleted");
    EXPECT_EQ(c->Cmd("LIST 1"), "-ERR Message 1 already deleted");
    EXPECT_EQ(c->Cmd("UIDL 2"), "+OK 2 " + second);
    EXPECT_TRUE(Deleted().empty());
    EXPECT_EQ(c->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_FALSE(fs::exists(firstFile));
    EXPECT_TRUE(fs::exists(env_.DataFolder() / "Home" / (second + ".msg")));
    // Raised before the reply to QUIT.
    EXPECT_EQ(Deleted(), std::vector<std::string>{"Home/" + first});
}

TEST_F(Pop3Session, RsetUnmarksSoQuitRemovesNothing)
{
    const fs::path file = env_.AddMessage("Home", "m1", StoredMessage("1", {"a"}));
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("DELE 1"), "+OK Message 1 deleted");
    EXPECT_EQ(c->Cmd("RSET"), "+OK Reset");
    EXPECT_EQ(c->Cmd("STAT"), "+OK 1 " + std::to_string(fs::file_size(file) - 3));
    EXPECT_EQ(c->Cmd("UIDL 1"), "+OK 1 m1");
    EXPECT_EQ(c->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(Deleted().empty());
}

struct DropCase {
    const char* name;
    bool idle;  // ended by the server's idle time-out, else by the client
};

class Pop3SessionEnd : public Pop3Session, public ::testing::WithParamInterface<DropCase> {};

// RFC 1939 §6: a session that ends without QUIT never enters the UPDATE
// state. Stopping the listener waits for the session's thread, so the file
// is looked at after the session has ended.
TEST_P(Pop3SessionEnd, WithoutQuitRemovesNothing)
{
    const fs::path file = env_.AddMessage("Home", "m1", StoredMessage("1", {"a"}));
    if (GetParam().idle)
        env_.Settings().timeouts.idleMs = 200;
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("DELE 1"), "+OK Message 1 deleted");
    if (GetParam().idle) {
        EXPECT_EQ(c->Line(), "-ERR Disconnected for inactivity.");
    }
    c.reset();
    server_->StopListening();
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(Deleted().empty());
}

INSTANTIATE_TEST_SUITE_P(Pop3, Pop3SessionEnd,
                         ::testing::Values(DropCase{"ClientDrops", false}, DropCase{"IdleTimeOut", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// The listing is the one taken at login (RFC 1939 §4): a file the checker
// stores meanwhile gets no number, and DELE n still names the message n was.
TEST_F(Pop3Session, NumbersKeepTheirMeaningWhileTheCheckerAddsFiles)
{
    env_.AddMessage("Home", "m1", StoredMessage("1", {"a"}));
    Start();
    auto c = LoggedIn();
    const std::string size = std::to_string(StoredMessage("1", {"a"}).size() - 3);
    const fs::path added = env_.AddMessage("Home", "m0", StoredMessage("0", {"new"}));
    EXPECT_EQ(c->Cmd("STAT"), "+OK 1 " + size);
    EXPECT_EQ(c->Cmd("UIDL"), "+OK");
    EXPECT_EQ(c->Block(), "1 m1\n");
    EXPECT_EQ(c->Cmd("LIST 2"), "-ERR LIST: Unknown message ID/nbr (#2 out of bounds)");
    EXPECT_EQ(c->Cmd("RSET"), "+OK Reset");
    EXPECT_EQ(c->Cmd("DELE 1"), "+OK Message 1 deleted");
    EXPECT_EQ(c->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_FALSE(fs::exists(env_.DataFolder() / "Home" / "m1.msg"));
    EXPECT_TRUE(fs::exists(added));
    EXPECT_EQ(Deleted(), std::vector<std::string>{"Home/m1"});
    // The next session lists it.
    auto next = LoggedIn();
    EXPECT_EQ(next->Cmd("UIDL 1"), "+OK 1 m0");
}

// RFC 1939 §6: a marked message that cannot be removed makes QUIT answer
// -ERR; the others are removed all the same.
TEST_F(Pop3Session, QuitSaysSoWhenAMarkedFileCannotBeRemoved)
{
    env_.AddMessage("Home", "m1", StoredMessage("1", {"a"}));
    env_.AddMessage("Home", "m2", StoredMessage("2", {"b"}));
    Start();
    auto c = LoggedIn();
    const std::string first = c->Cmd("UIDL 1").substr(6);
    const std::string second = first == "m1" ? "m2" : "m1";
    EXPECT_EQ(c->Cmd("DELE 1"), "+OK Message 1 deleted");
    EXPECT_EQ(c->Cmd("DELE 2"), "+OK Message 2 deleted");
    // The first one's place now holds a folder that is not empty.
    const fs::path blocked = env_.DataFolder() / "Home" / (first + ".msg");
    fs::remove(blocked);
    test::WriteFileBytes(blocked / "inside", "x");
    EXPECT_EQ(c->Cmd("QUIT"), "-ERR Some deleted messages not removed");
    EXPECT_EQ(c->Line(), "<closed>");
    EXPECT_FALSE(fs::exists(env_.DataFolder() / "Home" / (second + ".msg")));
    EXPECT_EQ(Deleted(), std::vector<std::string>{"Home/" + second});
}

// fetchmail's walk: LIST n, RETR n, DELE n for each message in turn.
TEST_F(Pop3Session, ListOfOneMessageKeepsTheNumbersOfTheListingAfterADele)
{
    for (const char* id : {"m1", "m2", "m3"})
        env_.AddMessage("Home", id, StoredMessage(id, {"a"}));
    Start();
    auto c = LoggedIn();
    ASSERT_EQ(c->Cmd("STAT").substr(0, 5), "+OK 3");
    const std::string size = std::to_string(StoredMessage("m1", {"a"}).size() - 3);
    for (const std::string n : {"1", "2", "3"}) {
        EXPECT_EQ(c->Cmd("LIST " + n), "+OK " + n + " " + size);
        EXPECT_EQ(c->Cmd("DELE " + n), "+OK Message " + n + " deleted");
    }
    EXPECT_EQ(c->Cmd("STAT"), "+OK 0 0");
}

TEST_F(Pop3Session, AFileRemovedAfterTheListingGivesErrAndTheSessionGoesOn)
{
    const fs::path file = env_.AddMessage("Home", "gone", StoredMessage("x", {"y"}));
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("LIST"), "+OK");
    EXPECT_EQ(c->Block(), "1 " + std::to_string(fs::file_size(file) - 3) + "\n");
    fs::remove(file);
    EXPECT_TRUE(c->Cmd("RETR 1").starts_with("-ERR "));
    EXPECT_TRUE(c->Cmd("TOP 1 0").starts_with("-ERR "));
    EXPECT_EQ(c->Cmd("NOOP"), "+OK NOOP");
}

TEST_F(Pop3Session, ConnectionsOfOneAccountHaveTheirOwnListing)
{
    env_.AddMessage("Home", "m1", StoredMessage("1", {"a"}));
    Start();
    auto a = LoggedIn();
    auto b = LoggedIn();
    EXPECT_EQ(a->Cmd("STAT").substr(0, 5), "+OK 1");
    EXPECT_EQ(b->Cmd("STAT").substr(0, 5), "+OK 1");
    EXPECT_EQ(a->Cmd("DELE 1"), "+OK Message 1 deleted");
    EXPECT_EQ(b->Cmd("RETR 1").substr(0, 4), "+OK ");  // only marked by a
    EXPECT_NE(b->Block(), "");
    EXPECT_EQ(a->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_EQ(b->Cmd("UIDL 1"), "+OK 1 m1");  // b keeps its listing
    EXPECT_TRUE(b->Cmd("RETR 1").starts_with("-ERR "));
    const fs::path file = env_.DataFolder() / "Home" / "m1.msg";
    EXPECT_EQ(b->Cmd("DELE 1"), "-ERR DELE: Unknown message ID/nbr - unable to delete " + file.string());
    EXPECT_EQ(b->Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_EQ(Deleted(), std::vector<std::string>{"Home/m1"});
}

struct FixedReply {
    const char* name;
    const char* command;
    const char* reply;
};

class Pop3FixedReplies : public Pop3Session, public ::testing::WithParamInterface<FixedReply> {};

// Replies before login (a fresh connection per case).
const FixedReply kBeforeLogin[] = {
    {"Unknown", "XYZZY", "-ERR Sorry, Unknown Command"},
    {"Empty", "", "-ERR Sorry, Unknown Command"},
    {"Binary", "\x01\x02\xff\xfe junk", "-ERR Sorry, Unknown Command"},
    {"StatFirst", "STAT", "-ERR Please login first"},
    {"ListFirst", "LIST", "-ERR Please login first"},
    {"UidlFirst", "UIDL 1", "-ERR Please login first"},
    {"RetrFirst", "RETR 1", "-ERR Please login first"},
    {"TopFirst", "TOP 1 1", "-ERR Please login first"},
    {"DeleFirst", "DELE 1", "-ERR Please login first"},
    {"RsetFirst", "RSET", "-ERR Please login first"},
    {"NoopFirst", "NOOP", "-ERR Please login first"},
    {"Apop", "APOP joe 0123456789abcdef", "-ERR Command Not Handled: APOP"},
    {"Auth", "AUTH PLAIN", "-ERR Secure password authentication not implemented - please turn it off!"},
    {"AuthBare", "AUTH", "-ERR Secure password authentication not implemented - please turn it off!"},
    {"Help", "HELP", "+OK No help available"},
    {"LowerCase", "user joe", "+OK Password required"},
    {"PassAlone", "PASS secret", "-ERR Login failed"},
    {"Quit", "QUIT", "+OK Closing Connection Channel."},
};

TEST_P(Pop3FixedReplies, BeforeLogin)
{
    Start();
    Pop3Client c(server_->Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(c.Cmd(GetParam().command), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(Pop3, Pop3FixedReplies, ::testing::ValuesIn(kBeforeLogin),
                         [](const auto& info) { return std::string(info.param.name); });

// Replies after login, over a folder with one message.
const FixedReply kAfterLogin[] = {
    {"Apop", "APOP joe 0123", "-ERR Wrong State"},
    {"NotANumber", "RETR one", "-ERR Invalid Message Number"},
    {"Negative", "DELE -1", "-ERR Invalid Message Number"},
    {"Missing", "RETR", "-ERR Invalid Message Number"},
    {"Zero", "RETR 0", "-ERR RETR: Unknown message ID/nbr (#0 out of bounds)"},
    {"ListHigh", "LIST 2", "-ERR LIST: Unknown message ID/nbr (#2 out of bounds)"},
    {"UidlHigh", "UIDL 2", "-ERR UIDL: Unknown message ID/nbr (#2 out of bounds)"},
    {"DeleHigh", "DELE 2", "-ERR DELE: Unknown message ID/nbr (#2 out of bounds)"},
    {"AsSent", "RETR 0002", "-ERR RETR: Unknown message ID/nbr (#0002 out of bounds)"},
    {"Huge", "RETR 99999999999999999999999999", "-ERR RETR: Unknown message ID/nbr (#99999999999999999999999999 out of bounds)"},
    {"ListLeadingZero", "LIST 01", "+OK 1 5"},
    {"StlsInState", "STLS", "-ERR Command not permitted in this state"},
    {"Noop", "NOOP", "+OK NOOP"},
    {"Rset", "RSET", "+OK Reset"},
};

class Pop3FixedRepliesLoggedIn : public Pop3FixedReplies {};

TEST_P(Pop3FixedRepliesLoggedIn, AfterLogin)
{
    env_.AddMessage("Home", "only", "12345.\r\n");
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd(GetParam().command), GetParam().reply);
    EXPECT_EQ(c->Cmd("NOOP"), "+OK NOOP");
}

INSTANTIATE_TEST_SUITE_P(Pop3, Pop3FixedRepliesLoggedIn, ::testing::ValuesIn(kAfterLogin),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pop3Session, MalformedInputIsAnsweredLineByLineAndTheServerStaysUp)
{
    Start();
    Pop3Client c(server_->Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    // Pipelined: an overlong line, NUL bytes, a bare LF line end, then a
    // valid command; each gets exactly one reply, in order.
    c.Send(std::string(5000, 'A') + "\r\n" + std::string("NO\0OP\r\n", 7) + "HELP\n" + "CAPA\r\n");
    EXPECT_EQ(c.Line(), "-ERR Command line too long");
    EXPECT_EQ(c.Line(), "-ERR Sorry, Unknown Command");
    EXPECT_EQ(c.Line(), "+OK No help available");
    EXPECT_EQ(c.Line(), "+OK Capability list follows");
    EXPECT_EQ(c.Block(), "UIDL\nSTLS\nUSER\n");
    std::string junk;
    for (int i = 0; i < 1024; ++i)
        junk += static_cast<char>(i % 256 == '\n' ? 'x' : i % 256);
    EXPECT_EQ(c.Cmd(junk), "-ERR Command line too long");
    EXPECT_EQ(c.Cmd(junk.substr(0, 200)), "-ERR Sorry, Unknown Command");
    Pop3Client second(server_->Port());
    EXPECT_TRUE(second.Login("joe@pop.example.com", "secret"));
}

struct LoginCase {
    const char* name;
    const char* user;
    const char* password;
    const char* account;  // nullptr: refused
};

class Pop3Login : public Pop3Session, public ::testing::WithParamInterface<LoginCase> {};

const LoginCase kLogins[] = {
    {"UserAtHost", "joe@pop.example.com", "secret", "Home"},
    {"TwoAtSignsSplitAtTheLast", "joe@work@mail.example.org", "pw two", "Work"},
    {"NoAtSignIsHostOnly", "solo.example", "p", "Solo"},
    {"FirstMatchingAccountWins", "joe@pop.example.com", "secret", "Home"},
    {"UserCaseMatters", "Joe@pop.example.com", "secret", nullptr},
    {"HostCaseMatters", "joe@POP.example.com", "secret", nullptr},
    {"PasswordCaseMatters", "joe@pop.example.com", "Secret", nullptr},
    {"WrongHost", "joe@mail.example.org", "secret", nullptr},
    {"UserWithoutHost", "joe", "secret", nullptr},
    {"PasswordOfAnotherAccount", "joe@pop.example.com", "pw two", nullptr},
    {"Empty", "", "", nullptr},
};

TEST_P(Pop3Login, SelectsTheAccountByRealUserHostAndPassword)
{
    for (const auto& a : test::DefaultTestAccounts())
        env_.AddMessage(a.name, "in-" + a.name, "x.\r\n");
    Start();
    Pop3Client c(server_->Port());
    const bool ok = c.Login(GetParam().user, GetParam().password);
    EXPECT_EQ(ok, GetParam().account != nullptr);
    if (ok) {
        EXPECT_EQ(c.Cmd("UIDL 1"), std::string("+OK 1 in-") + GetParam().account);
    } else {
        EXPECT_EQ(c.Cmd("STAT"), "-ERR Please login first");
        // The client may try again on the same connection.
        EXPECT_EQ(c.Cmd("USER joe@pop.example.com"), "+OK Password required");
        EXPECT_EQ(c.Cmd("PASS secret"), "+OK Login OK");
    }
}

INSTANTIATE_TEST_SUITE_P(Pop3, Pop3Login, ::testing::ValuesIn(kLogins),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pop3Session, ASecondLoginSwitchesAccountAndListing)
{
    env_.AddMessage("Home", "h", "x.\r\n");
    env_.AddMessage("Work", "w", "x.\r\n");
    Start();
    auto c = LoggedIn();
    EXPECT_EQ(c->Cmd("UIDL 1"), "+OK 1 h");
    EXPECT_EQ(c->Cmd("USER joe@work@mail.example.org"), "+OK Password required");
    EXPECT_EQ(c->Cmd("PASS pw two"), "+OK Login OK");
    EXPECT_EQ(c->Cmd("UIDL 1"), "+OK 1 w");
}

// One case per TLS mode of a listener: what CAPA offers on the connection as
// opened, whether a login in plain text is taken, what STLS answers, and
// that a login then works (after the upgrade where STLS starts one).
struct TlsModeCase {
    const char* name;
    TTlsMode mode;
    bool tlsFromFirstByte;  // the client starts TLS at once
    const char* capa;       // CAPA's list before any upgrade
    const char* userReply;  // USER before any upgrade
    const char* stlsReply;  // STLS before login
};

const TlsModeCase kTlsModes[] = {
    {"None", TTlsMode::None, false, "UIDL\nUSER\n", "+OK Password required", "-ERR Command Not Handled: STLS"},
    {"Explicit", TTlsMode::Explicit, false, "UIDL\nSTLS\nUSER\n", "+OK Password required",
     "+OK Begin TLS negotiation"},
    {"Implicit", TTlsMode::Implicit, true, "UIDL\nUSER\n", "+OK Password required",
     "-ERR Command Not Handled: STLS"},
    {"Required", TTlsMode::Required, false, "UIDL\nSTLS\nUSER\n", "-ERR Command not permitted without TLS",
     "+OK Begin TLS negotiation"},
};

class Pop3TlsMode : public Pop3Session, public ::testing::WithParamInterface<TlsModeCase> {};

TEST_P(Pop3TlsMode, OffersAndSpeaksTlsAsItsModeSays)
{
    const TlsModeCase& m = GetParam();
    env_.AddMessage("Home", "m1", StoredMessage("x", {"y"}));
    Start(m.mode);
    Pop3Client c(server_->Port(), m.tlsFromFirstByte);
    EXPECT_EQ(c.Connection().IsTls(), m.tlsFromFirstByte);
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(c.Cmd("CAPA"), "+OK Capability list follows");
    EXPECT_EQ(c.Block(), m.capa);
    EXPECT_EQ(c.Cmd("USER joe@pop.example.com"), m.userReply);
    const bool upgrades = std::string(m.stlsReply) == "+OK Begin TLS negotiation";
    EXPECT_EQ(c.Cmd("STLS"), m.stlsReply);
    if (upgrades) {
        c.StartTls();
        EXPECT_TRUE(c.Connection().IsTls());
        // RFC 2595 §4: STLS is no longer offered, and what the client said
        // before the upgrade is forgotten.
        EXPECT_EQ(c.Cmd("CAPA"), "+OK Capability list follows");
        EXPECT_EQ(c.Block(), "UIDL\nUSER\n");
        EXPECT_EQ(c.Cmd("STLS"), "-ERR Command not permitted when TLS active");
        EXPECT_EQ(c.Cmd("PASS secret"), "-ERR Login failed");
    }
    EXPECT_EQ(c.Cmd("USER joe@pop.example.com"), "+OK Password required");
    EXPECT_EQ(c.Cmd("PASS secret"), "+OK Login OK");
    EXPECT_EQ(c.Cmd("UIDL 1"), "+OK 1 m1");
}

INSTANTIATE_TEST_SUITE_P(Pop3, Pop3TlsMode, ::testing::ValuesIn(kTlsModes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Pop3Session, AClientThatFailsTheHandshakeLeavesTheListenerServing)
{
    Start(TTlsMode::Implicit);
    {
        Pop3Client plain(server_->Port());
        plain.Send("USER joe\r\n\r\n\r\n");
        EXPECT_TRUE(plain.Line().starts_with("<"));  // closed, no POP3 reply
    }
    Pop3Client c(server_->Port(), true);
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
}

TEST_F(Pop3Session, IdleClientIsDisconnected)
{
    env_.Settings().timeouts.idleMs = 100;
    Start();
    Pop3Client c(server_->Port());
    EXPECT_EQ(c.Line(), "+OK Welcome to Brixmoor POP3 Server");
    EXPECT_EQ(c.Line(), "-ERR Disconnected for inactivity.");
    EXPECT_EQ(c.Line(), "<closed>");
}

TEST_F(Pop3Session, ConnectionsBeyondTheLimitAreRefused)
{
    // A session not logged in would be closed to make room for a new
    // client; one logged in keeps its slot.
    env_.Settings().maxConnections = 1;
    Start();
    Pop3Client first(server_->Port());
    ASSERT_TRUE(first.Login("joe@pop.example.com", "secret"));
    Pop3Client second(server_->Port());
    EXPECT_EQ(second.Line(), "-ERR Too many connections. Try again later.");
    EXPECT_EQ(second.Line(), "<closed>");
    EXPECT_EQ(first.Cmd("QUIT"), "+OK Closing Connection Channel.");
    EXPECT_EQ(first.Line(), "<closed>");
}

TEST_F(Pop3Session, StopEndsIdleAndBlockedConnections)
{
    env_.AddMessage("Home", "big", "Subject: big\r\n\r\n" + std::string(8 << 20, 'x') + "\r\n.\r\n");
    Start();
    Pop3Client idle(server_->Port());
    EXPECT_EQ(idle.Line(), "+OK Welcome to Brixmoor POP3 Server");
    auto reader = LoggedIn();
    reader->Send("RETR 1\r\n");  // never read: the server blocks writing
    EXPECT_EQ(reader->Line(), "+OK " + std::to_string(std::size_t{8 << 20} + 18) + " octets");
    const uint16_t port = server_->Port();
    server_->StopListening();
    EXPECT_EQ(server_->ConnectionCount(), 0);
    EXPECT_EQ(idle.Line(), "<closed>");
    EXPECT_THROW(TcpConnection::Connect(kLoopbackAddress, port), ESocketError);
}

} // namespace
} // namespace bm
