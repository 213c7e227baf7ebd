#include "servers/smtpsrvthdU.h"

#include "core/synchronize.h"

namespace bm {

TSMTPServerThread::TSMTPServerThread(TSMTPServerSettings settings) : settings_(std::move(settings))
{
}

TSMTPServerThread::~TSMTPServerThread()
{
    Stop();
}

void TSMTPServerThread::StartServers()
{
    auto plain = std::make_unique<TLocalSMTPServerMdl>(settings_);
    auto tls = std::make_unique<TLocalSMTPServerMdl>(settings_);
    const auto forward = [this](TLocalSMTPServerMdl&, const std::string& address) { AddressWhitelisted(address); };
    plain->OnAddressWhitelisted = forward;
    tls->OnAddressWhitelisted = forward;
    plain->StartListening(TTlsMode::Explicit, settings_.port);
    tls->StartListening(TTlsMode::Implicit, settings_.portSSL);  // ~plain stops it on failure
    plainPort_.store(plain->Port());
    tlsPort_.store(tls->Port());
    plain_ = std::move(plain);
    tls_ = std::move(tls);
}

void TSMTPServerThread::StopServers()
{
    plain_.reset();
    tls_.reset();
}

void TSMTPServerThread::AddressWhitelisted(const std::string& address)
{
    if (!OnAddressWhitelisted)
        return;
    // The relay already runs this on the main thread, where Synchronize
    // calls at once; a connection thread would wait here for its turn.
    Synchronize([this, &address] { OnAddressWhitelisted(*this, address); });
}

} // namespace bm
