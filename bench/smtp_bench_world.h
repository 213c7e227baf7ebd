#pragma once
// What the SMTP benchmarks share: a private home, and a local SMTP server
// (STARTTLS listener on a free port) whose one account, "Home" for
// joe@home.example, relays to 127.0.0.1:upstreamPort.

#include <cstdint>
#include <memory>

#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/optionsU.h"
#include "servers/smtpsrvmdl.h"
#include "tests/support/testenv.h"

namespace bm::bench {

class SmtpBenchWorld {
public:
    // Throws what StartListening throws.
    explicit SmtpBenchWorld(uint16_t upstreamPort)
    {
        options_.SetWhitelistRecipients(false);
        auto account = std::make_shared<TAccount>(options_);
        account->SetName("Home");
        account->Outgoing().SetServer("127.0.0.1");
        account->Outgoing().SetPort(upstreamPort);
        account->Outgoing().SetEMailAddresses({"joe@home.example"});
        accounts_.Add(account);
        TSMTPServerSettings settings;
        settings.options = &options_;
        settings.accounts = &accounts_;
        settings.friends = &friends_;
        settings.certFolders = {program_.path(), home_.root()};
        server_ = std::make_unique<TLocalSMTPServerMdl>(settings);
        server_->StartListening(TTlsMode::Explicit, 0);
    }

    uint16_t Port() const { return server_->Port(); }

private:
    test::PrivateHome home_;
    test::TempDir program_;
    TOptions options_;
    TAccountList accounts_{options_};
    TWhiteList friends_;
    std::unique_ptr<TLocalSMTPServerMdl> server_;
};

} // namespace bm::bench
