#pragma once
// The holder thread of the local POP3 server: two listeners, one on the
// plain port offering STLS and one speaking TLS from the first byte, alive
// from Start to Stop. The program keeps one instance (the main window starts
// it at start-up and stops it at shutdown; the uninstaller runs its own).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "servers/pop3srvmdl.h"
#include "servers/srvbasethdU.h"

namespace bm {

class TPOP3ServerThread : public TServerBaseThread {
public:
    // (sender, account name, message id), run on the main thread for every
    // message a client deleted, one at a time; the worker waits for it.
    using TMessageDeletedEvent =
        std::function<void(TPOP3ServerThread& sender, const std::string& account, const std::string& id)>;

    // settings.port and settings.portSSL name the two listeners' ports.
    explicit TPOP3ServerThread(TPOP3ServerSettings settings);
    ~TPOP3ServerThread() override;  // Stop()

    // The ports the two listeners were bound to by the last Start (what
    // settings gave, or the system's choice for port 0). Any thread.
    uint16_t PlainPort() const { return plainPort_.load(); }
    uint16_t TlsPort() const { return tlsPort_.load(); }

    // Set before Start.
    TMessageDeletedEvent OnMessageDeleted;

protected:
    // Starts the STLS listener on settings.port, then the implicit-TLS one
    // on settings.portSSL. Throws what StartListening throws; a listener
    // started before the failure is stopped again.
    void StartServers() override;
    void StopServers() override;

private:
    void MessageDeleted(const std::string& account, const std::string& id);

    TPOP3ServerSettings settings_;
    std::unique_ptr<TLocalPOP3ServerMdl> plain_;
    std::unique_ptr<TLocalPOP3ServerMdl> tls_;
    std::atomic<uint16_t> plainPort_{0};
    std::atomic<uint16_t> tlsPort_{0};
};

} // namespace bm
