#pragma once
// The holder thread of the local SMTP server: two listeners, one on the
// plain port offering STARTTLS and one speaking TLS from the first byte,
// alive from Start to Stop. The program keeps one instance; the main window
// starts it at start-up, before the POP3 server, and stops it at shutdown.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "servers/smtpsrvmdl.h"
#include "servers/srvbasethdU.h"

namespace bm {

class TSMTPServerThread : public TServerBaseThread {
public:
    // (sender, address), run on the main thread for every recipient the
    // relay added to the Friends list, one at a time; the relaying
    // connection waits for it. The main window adds the address, lower-cased,
    // as a checked row of its Friends list view.
    using TAddressWhitelistedEvent = std::function<void(TSMTPServerThread& sender, const std::string& address)>;

    // settings.port and settings.portSSL name the two listeners' ports.
    explicit TSMTPServerThread(TSMTPServerSettings settings);
    ~TSMTPServerThread() override;  // Stop()

    // The ports the two listeners were bound to by the last Start (what
    // settings gave, or the system's choice for port 0). Any thread.
    uint16_t PlainPort() const { return plainPort_.load(); }
    uint16_t TlsPort() const { return tlsPort_.load(); }

    // Set before Start.
    TAddressWhitelistedEvent OnAddressWhitelisted;

protected:
    // Starts the STARTTLS listener on settings.port, then the implicit-TLS
    // one on settings.portSSL. Throws what StartListening throws; a listener
    // started before the failure is stopped again.
    void StartServers() override;
    void StopServers() override;

private:
    void AddressWhitelisted(const std::string& address);

    TSMTPServerSettings settings_;
    std::unique_ptr<TLocalSMTPServerMdl> plain_;
    std::unique_ptr<TLocalSMTPServerMdl> tls_;
    std::atomic<uint16_t> plainPort_{0};
    std::atomic<uint16_t> tlsPort_{0};
};

} // namespace bm
