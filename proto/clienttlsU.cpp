#include "proto/clienttlsU.h"

#include "config/acctU.h"
#include "net/tlsU.h"

#include <utility>
#include <vector>

namespace bm {

TClientTlsContexts::TClientTlsContexts(std::filesystem::path certificateFolder)
    : certificateFolder_(std::move(certificateFolder))
{
}

std::shared_ptr<TlsContext> TClientTlsContexts::For(const std::string& pinnedFingerprint)
{
    std::shared_ptr<TlsContext>& context = contexts_[pinnedFingerprint];
    if (!context) {
        TlsClientSettings tls;
        tls.verifyPeer = true;
        tls.pinnedFingerprint = pinnedFingerprint;
        if (!certificateFolder_.empty())
            tls.files = FindClientCertificates(certificateFolder_);
        context = TlsContext::Client(tls);
    }
    return context;
}

std::string CertificateTrustHint(const TAccountList& accounts, const TAccount& account,
                                 const std::string& fingerprint, TMailSide side)
{
    const std::vector<TAccountPtr> items = accounts.Items();
    for (std::size_t i = 0; i < items.size(); ++i)
        if (items[i].get() == &account)
            return " To trust this certificate, add the line \"CertFingerprint=" + fingerprint +
                   "\" to the section [Account" + std::to_string(i + 1) +
                   (side == TMailSide::Incoming ? ".Incoming" : ".Outgoing") + "] of accounts.ini.";
    return {};
}

void LearnTlsOffered(TAccountList& accounts, TAccount& account, TMailSide side)
{
    if (side == TMailSide::Incoming) {
        if (account.Incoming().TlsOffered())
            return;
        account.Incoming().SetTlsOffered(true);
    } else {
        if (account.Outgoing().TlsOffered())
            return;
        account.Outgoing().SetTlsOffered(true);
    }
    accounts.SaveToFile();
}

} // namespace bm
