#include "servers/srvbasethdU.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <chrono>
#include <exception>

#include "core/loggerU.h"
#include "core/synchronize.h"

namespace bm {

namespace {

constexpr const char* kIpv6Loopback = "::1";

bool IsIpv6Literal(const std::string& address)
{
    return address.find(':') != std::string::npos;
}

// Waits for the next client; an accept failure that is not transient (out
// of descriptors, say) is traced and reported as a null connection so the
// caller can pause instead of spinning.
std::unique_ptr<TcpConnection> AcceptOne(TcpListener& listener, bool& failed)
{
    failed = false;
    try {
        return listener.Accept(kNoTimeout);
    } catch (const std::exception& e) {
        WriteTrace({"Server accept", listener.BoundAddress(), e.what()}, 2);
        failed = true;
        return nullptr;
    }
}

} // namespace

bool HasIpv6Loopback()
{
    static const bool available = [] {
        try {
            TcpListener probe(0, kIpv6Loopback);
            return true;
        } catch (const ESocketError&) {
            return false;
        }
    }();
    return available;
}

std::vector<std::string> ServerListenAddresses(const std::string& listenAddress)
{
    if (listenAddress.empty() || listenAddress == kLoopbackAddress) {
        std::vector<std::string> result{kLoopbackAddress};
        if (HasIpv6Loopback())
            result.emplace_back(kIpv6Loopback);
        return result;
    }
    if (listenAddress == "0.0.0.0" || listenAddress == kAnyAddress)
        return {kAnyAddress};
    return {listenAddress};
}

// --- Who may connect ---------------------------------------------------------

namespace {

// "127.0.0.1:51234" or "[::1]:51234" into address and port.
bool SplitPeer(const std::string& peer, std::string& address, uint16_t& port)
{
    const auto colon = peer.rfind(':');
    if (colon == std::string::npos || colon + 1 >= peer.size())
        return false;
    address = peer.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    try {
        port = static_cast<uint16_t>(std::stoul(peer.substr(colon + 1)));
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

bool IsLoopbackPeer(const std::string& address)
{
    return address.starts_with("127.") || address == kIpv6Loopback || address.starts_with("::ffff:127.");
}

} // namespace

std::string RefusedPeerReason(const TcpConnection& connection, const TPeerPolicy& policy)
{
    std::string address;
    uint16_t port = 0;
    if (!SplitPeer(connection.PeerAddress(), address, port))
        return "peer address unknown";
    // Looked up for every peer, not only loopback ones: a local client that
    // connects to one of this machine's other addresses is still local.
    const auto uid = policy.lookup ? policy.lookup(address, port) : std::nullopt;
    if (uid)
        return *uid == policy.ownerUid ? std::string() : "connection of uid " + std::to_string(*uid);
    return IsLoopbackPeer(address) ? "owner of the connection unknown" : std::string();
}

// --- TServerListener ---------------------------------------------------------

std::shared_ptr<TlsContext> ServerTlsContext(TTlsMode mode, const TServerCertFolders& folders)
{
    if (mode == TTlsMode::None)
        return nullptr;
    return TlsContext::Server(FindServerCertificates(folders.programFolder, folders.fallbackFolder));
}

TListenSettings ServerListenSettings(const std::vector<std::string>& addresses, uint16_t port, int maxConnections,
                                     TTlsMode mode, std::shared_ptr<TlsContext> tls, int tlsHandshakeMs)
{
    TListenSettings listen;
    listen.addresses = addresses;
    listen.port = port;
    listen.maxConnections = maxConnections;
    listen.implicitTls = mode == TTlsMode::Implicit ? std::move(tls) : nullptr;
    listen.tlsHandshakeMs = tlsHandshakeMs;
    listen.maxPendingConnections = std::min(listen.maxPendingConnections, std::max(1, maxConnections / 4));
    return listen;
}

TServerListener::~TServerListener()
{
    Stop();
}

void TServerListener::Start(const TListenSettings& settings, TSessionHandler session, TRefuseHandler refuse)
{
    Stop();
    settings_ = settings;
    session_ = std::move(session);
    refuse_ = std::move(refuse);
    std::vector<std::unique_ptr<TcpListener>> bound;
    uint16_t port = settings.port;
    for (const auto& address : settings.addresses) {
        if (IsIpv6Literal(address) && !HasIpv6Loopback())
            continue;
        bound.push_back(std::make_unique<TcpListener>(port, address));
        port = bound.front()->Port();
    }
    if (bound.empty())
        throw ESocketError("No listen address given");
    {
        std::lock_guard lock(mutex_);
        stopping_ = false;
        port_ = port;
    }
    listeners_ = std::move(bound);
    for (auto& listener : listeners_)
        acceptThreads_.emplace_back([this, l = listener.get()] { AcceptLoop(*l); });
    watchThread_ = std::thread([this] { WatchPending(); });
}

void TServerListener::Stop()
{
    {
        std::lock_guard lock(mutex_);
        if (listeners_.empty() && workers_.empty())
            return;
        stopping_ = true;
        for (auto& worker : workers_)
            worker.connection->Abort();
    }
    changed_.notify_all();
    for (auto& listener : listeners_)
        listener->Stop();
    for (auto& thread : acceptThreads_)
        thread.join();
    acceptThreads_.clear();
    if (watchThread_.joinable())
        watchThread_.join();
    // No accept thread is left to add workers; wait for the sessions, which
    // end quickly now that their connections fail every read and write.
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] {
        for (const auto& worker : workers_)
            if (!worker.done)
                return false;
        return true;
    });
    std::list<Worker> finished;
    finished.swap(workers_);
    lock.unlock();
    for (auto& worker : finished)
        worker.thread.join();
    listeners_.clear();
    std::lock_guard relock(mutex_);
    port_ = 0;
}

bool TServerListener::IsListening() const
{
    std::lock_guard lock(mutex_);
    return port_ != 0 && !stopping_;
}

uint16_t TServerListener::Port() const
{
    std::lock_guard lock(mutex_);
    return port_;
}

int TServerListener::ConnectionCount() const
{
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto& worker : workers_)
        count += worker.done ? 0 : 1;
    return count;
}

void TServerListener::MarkEstablished(const TcpConnection& connection)
{
    std::lock_guard lock(mutex_);
    for (auto& worker : workers_)
        if (worker.connection.get() == &connection)
            worker.established = true;
}

void TServerListener::WatchPending()
{
    const auto limit = std::chrono::milliseconds(settings_.pendingTimeoutMs);
    const auto step = std::min<std::chrono::milliseconds>(limit, std::chrono::milliseconds(1000));
    std::unique_lock lock(mutex_);
    while (!changed_.wait_for(lock, step, [this] { return stopping_; })) {
        const auto now = std::chrono::steady_clock::now();
        for (auto& worker : workers_) {
            if (worker.done || worker.established || worker.connection->IsAborted() || now - worker.started < limit)
                continue;
            WriteTrace({"Server login time-out", worker.connection->PeerAddress()}, kTraceEvent);
            worker.connection->Abort();
        }
    }
}

void TServerListener::MakeRoomForPendingLocked()
{
    Worker* oldest = nullptr;
    int pending = 0;
    for (auto& worker : workers_) {
        if (worker.done || worker.established || worker.connection->IsAborted())
            continue;
        ++pending;
        if (!oldest || worker.started < oldest->started)
            oldest = &worker;
    }
    if (pending < settings_.maxPendingConnections || !oldest)
        return;
    WriteTrace({"Server too many logins", "closing", oldest->connection->PeerAddress()}, kTraceEvent);
    oldest->connection->Abort();
}

bool TServerListener::WaitStopping(int ms)
{
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void TServerListener::AcceptLoop(TcpListener& listener)
{
    for (;;) {
        bool failed = false;
        auto connection = AcceptOne(listener, failed);
        if (failed) {
            if (WaitStopping(200))
                return;
            continue;
        }
        if (!connection)
            return;
        Serve(std::move(connection));
    }
}

void TServerListener::ReapFinishedLocked(std::list<Worker>& finished)
{
    for (auto it = workers_.begin(); it != workers_.end();) {
        auto next = std::next(it);
        if (it->done)
            finished.splice(finished.end(), workers_, it);
        it = next;
    }
}

void TServerListener::Serve(std::unique_ptr<TcpConnection> accepted)
{
    std::shared_ptr<TcpConnection> connection(std::move(accepted));
    std::list<Worker> finished;
    std::unique_lock lock(mutex_);
    ReapFinishedLocked(finished);
    if (!stopping_)
        MakeRoomForPendingLocked();
    // A session aborted for room ends within moments; its slot is free now.
    int live = 0;
    for (const auto& worker : workers_)
        live += worker.connection->IsAborted() ? 0 : 1;
    const bool full = live >= settings_.maxConnections;
    if (stopping_ || full) {
        lock.unlock();
        for (auto& worker : finished)
            worker.thread.join();
        // An implicit-TLS client cannot read a plain reply: it is just closed.
        if (full && !stopping_ && refuse_ && !settings_.implicitTls) {
            try {
                refuse_(*connection);
            } catch (const std::exception&) {
                // the client went away first; nothing to tell
            }
        }
        return;
    }
    workers_.push_back(Worker{connection, {}, false});
    Worker& worker = workers_.back();
    worker.thread = std::thread([this, &worker] { RunSession(worker); });
    lock.unlock();
    for (auto& w : finished)
        w.thread.join();
}

void TServerListener::RunSession(Worker& worker)
{
    TcpConnection& connection = *worker.connection;
    try {
        if (settings_.implicitTls)
            connection.StartTls(*settings_.implicitTls, settings_.tlsHandshakeMs);
        session_(connection);
    } catch (const std::exception& e) {
        if (!connection.IsAborted())
            WriteTrace({"Server session", connection.PeerAddress(), e.what()}, 0);
    }
    connection.Close();
    {
        std::lock_guard lock(mutex_);
        worker.done = true;
    }
    changed_.notify_all();
}

// --- TServerBaseThread -------------------------------------------------------

TServerBaseThread::~TServerBaseThread()
{
    // A derived class that forgot Stop() would leave the thread using a
    // destroyed object; joining here at least keeps the process sound.
    if (thread_.joinable()) {
        Terminate();
        thread_.join();
    }
}

void TServerBaseThread::Start()
{
    if (IsRunning())
        return;
    if (thread_.joinable())
        thread_.join();
    StartServers();
    {
        std::lock_guard lock(mutex_);
        terminated_ = false;
        finished_ = false;
    }
    thread_ = std::thread([this] { Run(); });
}

void TServerBaseThread::Run()
{
    {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return terminated_; });
    }
    try {
        StopServers();
    } catch (const std::exception& e) {
        WriteTrace({"Server stop", e.what()}, 2);
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    // Wakes a main thread waiting in Stop() inside its event loop.
    if (auto* app = QCoreApplication::instance())
        QMetaObject::invokeMethod(app, [] {}, Qt::QueuedConnection);
}

void TServerBaseThread::Terminate()
{
    {
        std::lock_guard lock(mutex_);
        terminated_ = true;
    }
    wake_.notify_all();
}

bool TServerBaseThread::IsRunning() const
{
    std::lock_guard lock(mutex_);
    return !finished_;
}

void TServerBaseThread::Stop()
{
    if (!thread_.joinable())
        return;
    Terminate();
    // A session blocked handing an event to the main thread can end only
    // when the main thread runs that event, so the main thread serves its
    // event loop until the holder thread has stopped every listener.
    if (QCoreApplication::instance() && IsMainThread()) {
        while (IsRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    thread_.join();
}

// --- Ports -------------------------------------------------------------------

namespace {

bool PortFreeOnAll(uint16_t port, const std::vector<std::string>& addresses)
{
    for (const auto& address : addresses) {
        if (IsIpv6Literal(address) && !HasIpv6Loopback())
            continue;
        if (!TestPort(port, address))
            return false;
    }
    return true;
}

uint16_t NextFreePort(uint32_t from, uint16_t first, const std::set<uint16_t>& skip,
                      const std::vector<std::string>& addresses)
{
    for (uint32_t port = from; port <= 65535; ++port) {
        const auto p = static_cast<uint16_t>(port);
        if (!skip.contains(p) && PortFreeOnAll(p, addresses))
            return p;
    }
    throw ESocketError("No free port found from " + std::to_string(first));
}

} // namespace

std::pair<uint16_t, uint16_t> ChooseFreePortPair(uint16_t first, const std::set<uint16_t>& skip,
                                                 const std::vector<std::string>& addresses)
{
    const uint16_t a = NextFreePort(first, first, skip, addresses);
    std::set<uint16_t> skipBoth = skip;
    skipBoth.insert(a);
    const uint16_t b = NextFreePort(uint32_t{a} + 1, first, skipBoth, addresses);
    return {a, b};
}

bool TestServerPort(uint16_t port, const std::vector<std::string>& addresses, int connectTimeoutMs)
{
    TServerListener listener;
    try {
        listener.Start(TListenSettings{addresses, port, 1, nullptr, 0}, [](TcpConnection&) {});
    } catch (const ESocketError&) {
        return false;
    }
    try {
        ConnectOptions options;
        options.connectTimeoutMs = connectTimeoutMs;
        // "localhost" reaches a loopback or any-address listener; a server
        // widened to one particular address is reached there.
        const std::string& first = addresses.front();
        const bool local = first == kLoopbackAddress || first == kAnyAddress || first == kIpv6Loopback;
        auto client = TcpConnection::Connect(local ? "localhost" : first, port, options);
        try {
            client->Close();
        } catch (...) {
            // disconnecting is not part of the test
        }
        return true;
    } catch (const ESocketError&) {
        return false;
    }
}

bool TestOptionsPort(int port, const std::string& listenAddress)
{
    if (port <= 0 || port > 65535)
        return false;
    return TestServerPort(static_cast<uint16_t>(port), ServerListenAddresses(listenAddress));
}

} // namespace bm
