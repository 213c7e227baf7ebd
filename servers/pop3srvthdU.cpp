#include "servers/pop3srvthdU.h"

#include "core/synchronize.h"

namespace bm {

TPOP3ServerThread::TPOP3ServerThread(TPOP3ServerSettings settings) : settings_(std::move(settings))
{
}

TPOP3ServerThread::~TPOP3ServerThread()
{
    Stop();
}

void TPOP3ServerThread::StartServers()
{
    auto plain = std::make_unique<TLocalPOP3ServerMdl>(settings_);
    auto tls = std::make_unique<TLocalPOP3ServerMdl>(settings_);
    const auto forward = [this](TLocalPOP3ServerMdl&, const std::string& account, const std::string& id) {
        MessageDeleted(account, id);
    };
    plain->OnMessageDeleted = forward;
    tls->OnMessageDeleted = forward;
    plain->StartListening(TTlsMode::Explicit, settings_.port);
    tls->StartListening(TTlsMode::Implicit, settings_.portSSL);  // ~plain stops it on failure
    plainPort_.store(plain->Port());
    tlsPort_.store(tls->Port());
    plain_ = std::move(plain);
    tls_ = std::move(tls);
}

void TPOP3ServerThread::StopServers()
{
    plain_.reset();
    tls_.reset();
}

void TPOP3ServerThread::MessageDeleted(const std::string& account, const std::string& id)
{
    if (!OnMessageDeleted)
        return;
    // The values travel with the call, so notifications of several
    // connections never mix; the main thread runs them one after another.
    Synchronize([this, &account, &id] { OnMessageDeleted(*this, account, id); });
}

} // namespace bm
