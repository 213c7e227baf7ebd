#pragma once
// What the local POP3 and SMTP servers share: the listen addresses, a TCP
// listener that runs one thread per client connection, the holder thread
// that keeps the listeners alive from start to stop (one template for both
// servers), and the choice of free ports at installation.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/synchronize.h"
#include "net/socketU.h"
#include "net/tlsU.h"
#include "platform/peeruid.h"

namespace bm {

// TLS mode of one listener (the values the options and the servers use):
// none, explicit by STLS / STARTTLS, implicit (TLS from the first byte), or
// explicit and required before login.
enum class TTlsMode { None = 0, Explicit = 1, Implicit = 2, Required = 3 };

// True when the mode lets a client upgrade with STLS / STARTTLS.
inline bool OffersUpgrade(TTlsMode mode) { return mode == TTlsMode::Explicit || mode == TTlsMode::Required; }

// The addresses a server binds for the options' listen address. The loopback
// default "127.0.0.1" gives 127.0.0.1 and, when this machine has IPv6, ::1
// (so "localhost" reaches the server whichever family the client resolves
// first); "0.0.0.0" gives every local IPv6 and IPv4 address (kAnyAddress);
// any other address gives itself. Any thread.
std::vector<std::string> ServerListenAddresses(const std::string& listenAddress);

// True when a socket can be bound to ::1 on this machine (checked once).
bool HasIpv6Loopback();

// Time-outs and limits of one server connection, in milliseconds. Tests
// shorten them; the defaults are what the product runs with.
struct TServerTimeouts {
    // Longest silence of a client between two bytes of a command line before
    // the server closes the connection (RFC 1939 §3: at least 10 minutes).
    int idleMs = 10 * 60 * 1000;
    // Longest time a reply may wait for the client to take a byte.
    int writeMs = 60 * 1000;
    // Limit of a TLS handshake (implicit TLS or after an upgrade command).
    int tlsHandshakeMs = 30 * 1000;
    // Longest time from connecting to logging in (POP3) or to MAIL (SMTP);
    // a client that has not got that far is closed, trickling or not, so
    // idle connections give their slots back (Dovecot's login time-out).
    int loginMs = 60 * 1000;
};

// Who may use a local server. The servers take mail and hand out the
// user's mailboxes without asking who calls, so a client on this machine is
// served only when it runs as the user; a client of another machine (the
// listen address widened on purpose) is not known here and passes, to log
// in as ever.
struct TPeerPolicy {
    TSocketOwnerLookup lookup = TcpSocketOwnerUid;
    unsigned ownerUid = CurrentUid();
};

// Empty when the client of connection may be served under policy, else why
// not (for the trace). A loopback client whose socket is not found is
// refused: it cannot be told from another user's. Any thread.
std::string RefusedPeerReason(const TcpConnection& connection, const TPeerPolicy& policy);

// The server certificate files: cert.pem / key.pem (and cacert.pem) from
// programFolder, else a self-signed localhost certificate made once in
// fallbackFolder (net/tlsU.h FindServerCertificates).
struct TServerCertFolders {
    std::filesystem::path programFolder;
    std::filesystem::path fallbackFolder;
};

// Runs the server's session on one accepted connection, in that connection's
// own thread. It returns when the session is over; the connection is closed
// afterwards. Exceptions are caught and traced by the listener.
using TSessionHandler = std::function<void(TcpConnection&)>;
// Answers a client refused because the connection limit is reached (one
// reply line); runs on the listener's accept thread.
using TRefuseHandler = std::function<void(TcpConnection&)>;

struct TListenSettings {
    std::vector<std::string> addresses{kLoopbackAddress};
    uint16_t port = 0;  // 0: a free port chosen by the system (tests)
    // Clients served at once; further ones get the refusal reply and are
    // closed. Bounds the threads a flood of connections can create.
    int maxConnections = 64;
    // For TTlsMode::Implicit: the handshake is run before the session starts
    // (a client failing it is closed without a session). Null: plain.
    std::shared_ptr<TlsContext> implicitTls;
    int tlsHandshakeMs = 30 * 1000;
    // Of those, sessions not yet past their login (see MarkEstablished).
    // When they are all taken a new client still gets one: the oldest
    // unestablished session is closed for it, so a flood of idle clients
    // cannot lock the user out; established sessions are never closed so.
    int maxPendingConnections = 16;
    // An unestablished session is closed this long after connecting.
    int pendingTimeoutMs = 60 * 1000;
};

// The TLS context of a server listener in `mode`: null for TTlsMode::None,
// else one made from the certificate files FindServerCertificates finds in
// folders. Throws what those throw. Any thread.
std::shared_ptr<TlsContext> ServerTlsContext(TTlsMode mode, const TServerCertFolders& folders);

// The settings of a server listener in `mode`. The listener gets `tls` only
// for TTlsMode::Implicit; in the other modes the session uses it for the
// upgrade command.
TListenSettings ServerListenSettings(const std::vector<std::string>& addresses, uint16_t port, int maxConnections,
                                     TTlsMode mode, std::shared_ptr<TlsContext> tls, int tlsHandshakeMs);

// A TCP listener on one port over one or more addresses, running the session
// handler in a thread of its own for every client.
// Threads: Start, Stop and the destructor from one owner thread; Port,
// IsListening and ConnectionCount from any thread.
class TServerListener {
public:
    TServerListener() = default;
    ~TServerListener();  // Stop()
    TServerListener(const TServerListener&) = delete;
    TServerListener& operator=(const TServerListener&) = delete;

    // Binds every address at settings.port (port 0: the port the first
    // address got is used for the others) and starts accepting. A listener
    // already started is stopped first. Throws ESocketError from the first
    // address that cannot be bound (nothing stays bound then); an IPv6
    // address is skipped when the machine has no IPv6.
    void Start(const TListenSettings& settings, TSessionHandler session, TRefuseHandler refuse = {});
    // Stops accepting, aborts every open connection (blocked reads and writes
    // fail at once) and waits for all connection threads to end. A session
    // that waits for the main thread (Synchronize) must get it: do not call
    // this on the main thread while a session may do so without running the
    // event loop (TServerBaseThread does it on its own thread). Idempotent.
    void Stop();

    bool IsListening() const;
    uint16_t Port() const;
    // Sessions running now.
    int ConnectionCount() const;
    // The session on connection has logged in (or got to MAIL): it no longer
    // counts against maxPendingConnections nor pendingTimeoutMs. From the
    // session's own thread.
    void MarkEstablished(const TcpConnection& connection);

private:
    struct Worker {
        std::shared_ptr<TcpConnection> connection;
        std::thread thread;
        bool done = false;
        bool established = false;
        std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
    };
    void WatchPending();
    // Aborts the oldest unestablished session when they fill their slots.
    void MakeRoomForPendingLocked();
    void AcceptLoop(TcpListener& listener);
    void Serve(std::unique_ptr<TcpConnection> connection);
    void RunSession(Worker& worker);
    void ReapFinishedLocked(std::list<Worker>& finished);
    bool WaitStopping(int ms);

    TListenSettings settings_;
    TSessionHandler session_;
    TRefuseHandler refuse_;
    std::vector<std::unique_ptr<TcpListener>> listeners_;
    std::vector<std::thread> acceptThreads_;
    std::thread watchThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Worker> workers_;
    bool stopping_ = false;
    uint16_t port_ = 0;
};

// The holder thread of a local server: the listeners are started in the
// caller's thread (so a port that cannot be bound reaches the code that
// starts the server), then the thread waits for Terminate and stops them.
// Derived classes own the listeners.
// Threads: Start, Stop and the destructor from the owner's thread (the main
// thread in the program); Terminate from any thread.
class TServerBaseThread {
public:
    TServerBaseThread() = default;
    // The derived destructor must call Stop(): the thread uses its members.
    virtual ~TServerBaseThread();
    TServerBaseThread(const TServerBaseThread&) = delete;
    TServerBaseThread& operator=(const TServerBaseThread&) = delete;

    // StartServers() in the caller's thread, then the holder thread. Throws
    // what StartServers throws (the thread is not started then).
    void Start();
    // Asks the thread to end; never blocks.
    void Terminate();
    // Terminate, then wait until StopServers has run and the thread ended.
    // On the main thread the event loop is run while waiting, so sessions
    // that hand an event to the main thread can finish. Idempotent.
    void Stop();
    bool IsRunning() const;

protected:
    virtual void StartServers() = 0;
    // Runs on the holder thread after Terminate; must stop every listener.
    virtual void StopServers() = 0;

private:
    void Run();

    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool terminated_ = false;
    bool finished_ = true;
};

namespace detail {
// The holder's form of a server's event: the same arguments, the holder as
// the sender.
template <class Sender, class Event>
struct THolderEvent;
template <class Sender, class Server, class... Args>
struct THolderEvent<Sender, std::function<void(Server&, Args...)> Server::*> {
    using Type = std::function<void(Sender& sender, Args...)>;
};
} // namespace detail

// The holder thread of one local server: two listeners of Server, one on
// settings.port offering STLS / STARTTLS and one on settings.portSSL
// speaking TLS from the first byte, alive from Start to Stop. The program
// keeps one per server (the application core starts them at start-up, SMTP
// before POP3, and stops them at shutdown; the uninstaller runs a POP3 one
// of its own).
//
// ServerEvent names the server's event for its owner (a std::function member
// of Server whose first argument is the server). The holder hands it on as
// OnServerEvent, with Derived (the holder itself) as the sender, on the main
// thread, one call at a time; the connection that raised it waits until it
// has run.
template <class Derived, class Settings, class Server, auto ServerEvent>
class TLocalServerThread : public TServerBaseThread {
public:
    using TEvent = typename detail::THolderEvent<Derived, decltype(ServerEvent)>::Type;

    // settings.port and settings.portSSL name the two listeners' ports.
    explicit TLocalServerThread(Settings settings) : settings_(std::move(settings)) {}
    ~TLocalServerThread() override { Stop(); }

    // The ports the two listeners were bound to by the last Start (what
    // settings gave, or the system's choice for port 0). Any thread.
    uint16_t PlainPort() const { return plainPort_.load(); }
    uint16_t TlsPort() const { return tlsPort_.load(); }

    // Set before Start.
    TEvent OnServerEvent;

protected:
    // Starts the explicit-TLS listener on settings.port, then the
    // implicit-TLS one on settings.portSSL. Throws what StartListening
    // throws; a listener started before the failure is stopped again.
    void StartServers() override
    {
        auto plain = std::make_unique<Server>(settings_);
        auto tls = std::make_unique<Server>(settings_);
        Forward(*plain);
        Forward(*tls);
        plain->StartListening(TTlsMode::Explicit, settings_.port);
        tls->StartListening(TTlsMode::Implicit, settings_.portSSL);  // ~plain stops it on failure
        plainPort_.store(plain->Port());
        tlsPort_.store(tls->Port());
        plain_ = std::move(plain);
        tls_ = std::move(tls);
    }

    void StopServers() override
    {
        plain_.reset();
        tls_.reset();
    }

private:
    void Forward(Server& server)
    {
        server.*ServerEvent = [this](Server&, const auto&... args) {
            if (!OnServerEvent)
                return;
            // The values travel with the call, so the events of several
            // connections never mix; raised on the main thread already (the
            // SMTP relay's), it runs at once.
            Synchronize([&] { OnServerEvent(static_cast<Derived&>(*this), args...); });
        };
    }

    Settings settings_;
    std::unique_ptr<Server> plain_;
    std::unique_ptr<Server> tls_;
    std::atomic<uint16_t> plainPort_{0};
    std::atomic<uint16_t> tlsPort_{0};
};

// The first two ports, counting up from `first`, that are neither in `skip`
// nor in use on any of `addresses` (each tried by binding it for a moment).
// Throws ESocketError "No free port found from <first>" when the port range
// ends first. Any thread.
std::pair<uint16_t, uint16_t> ChooseFreePortPair(uint16_t first, const std::set<uint16_t>& skip,
                                                 const std::vector<std::string>& addresses);

// True when a client could connect to "localhost" (or, for a listener on one
// particular address, to that address) at port while a listener bound on
// addresses at that port accepts; a failure while disconnecting
// still counts as success. False when the port cannot be bound or the
// connection is not made. Any thread.
bool TestServerPort(uint16_t port, const std::vector<std::string>& addresses, int connectTimeoutMs = 5000);

// TestServerPort for a port as the options hold it (false outside 1-65535),
// on the addresses of the options' listen address. Any thread.
bool TestOptionsPort(int port, const std::string& listenAddress);

} // namespace bm
