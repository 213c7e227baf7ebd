#pragma once
// A TMailCheckerMdl with lists of its own and every event recorded, for the
// retrieval tests.

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "check/mailchkmdl.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "core/mailmsgU.h"
#include "store/msgfilesU.h"
#include "store/msgsU.h"
#include "tests/proto/tls_trust.h"

namespace bm::test {

// A message text with CR LF line ends (not in the stored form).
inline std::string MakeMail(const std::string& from, const std::string& subject, const std::string& body,
                            const std::string& date = "Thu, 10 Dec 2026 10:00:00 +0000")
{
    std::string m = "From: " + from + "\r\nTo: me@example.com\r\nSubject: " + subject + "\r\n";
    if (!date.empty())
        m += "Date: " + date + "\r\n";
    return m + "\r\n" + body + "\r\n";
}

inline TMailCheckerSettings CheckerFastSettings()
{
    TMailCheckerSettings s;
    s.Client.ConnectTimeoutMs = 10000;
    s.Client.ReadTimeoutMs = 10000;
    s.Client.WriteTimeoutMs = 10000;
    // The peers' certificate is trusted as a user trusts a private CA.
    s.CertificateFolder = TrustedPeerFolder();
    return s;
}

struct CheckerHarness {
    struct Error {
        std::string Text;
        std::string Account;
    };

    explicit CheckerHarness(bool localMode = false, const TMailCheckerSettings& settings = CheckerFastSettings())
        : accounts(options),
          checker(std::make_unique<TMailCheckerMdl>(localMode, settings, accounts, friends, blacklist, filters))
    {
        TMailCheckerMdl& c = *checker;
        c.OnStatus = [this](const std::string& t) { statuses.push_back(t); };
        c.OnNewMessage = [this](const std::string& uidl, TKnownMessage& e) {
            newMessages.push_back(uidl);
            knownBefore.push_back(e.KnownBefore());
        };
        c.OnMessageDeleted = [this](const std::string& uidl, TKnownMessage* e) {
            deleted.push_back(uidl);
            deletedHadEntry = deletedHadEntry || e != nullptr;
        };
        c.OnAfterAccount = [this](TAccount& a, bool last) { after.emplace_back(a.Name(), last); };
        c.OnAddressWhitelisted = [this](const std::string& a) { whitelisted.push_back(a); };
        c.IsStopRequested = [this] { return stop.load(); };
        c.OnSetState = [this](std::uint8_t s) { states.push_back(s); };
        c.OnReportCheckError = [this](const std::string& t, const std::string& a) { errors.push_back({t, a}); };
        c.OnGetCredentials = [this](TCredentialsRequest& r) {
            prompts.push_back(r);
            return credentials ? credentials(r) : false;
        };
        if (!localMode)
            c.OnProcessMessage = [this](const std::string& uidl, TMailMessage& m, TKnownMessage& e) {
                processed.push_back(uidl);
                subjects.push_back(m.Subject);
                return handler ? handler(uidl, m, e) : StoreAndDelete(uidl, m, e);
            };
    }

    // What a classifier does for a friend or a quarantined message: the
    // file first, then the mark.
    static bool StoreAndDelete(const std::string& uidl, TMailMessage& m, TKnownMessage& e)
    {
        SaveMessageFile(e.Account(), uidl, false, m);
        e.SetToBeDeleted(true);
        return true;
    }

    TAccountPtr AddAccount(const std::string& name, const std::string& server, int port, const std::string& user,
                           const std::string& password, int ssl = 0, bool sasl = false)
    {
        auto a = std::make_shared<TAccount>(options);
        TAccountValues v = a->Snapshot();
        v.Name = name;
        v.Incoming.Server = server;
        v.Incoming.Port = port;
        v.Incoming.UserName = user;
        v.Incoming.Password = password;
        v.Incoming.SSL = static_cast<std::uint8_t>(ssl);
        v.Incoming.SecurePasswordAuthentication = sasl;
        a->SetValues(v);
        return accounts.Add(a);
    }

    bool CheckAll() { return checker->CheckAllAccounts(inbox, known); }

    std::string ErrorTexts() const
    {
        std::string all;
        for (const Error& e : errors)
            all += e.Account + ": " + e.Text + "\n";
        return all;
    }
    // Errors, prompts and statuses, for failure messages.
    std::string Describe() const
    {
        std::string all = ErrorTexts();
        for (const TCredentialsRequest& r : prompts)
            all += "prompt: " + r.Reason + "\n";
        for (const std::string& s : statuses)
            all += "status: " + s + "\n";
        return all;
    }

    TOptions options;
    TAccountList accounts;
    TWhiteList friends;
    TBlackList blacklist;
    TFilterList filters;
    TMessageList inbox;
    TMessageList known;
    std::unique_ptr<TMailCheckerMdl> checker;

    std::function<bool(const std::string&, TMailMessage&, TKnownMessage&)> handler;
    std::function<bool(TCredentialsRequest&)> credentials;
    std::atomic<bool> stop{false};

    std::vector<std::string> statuses, processed, subjects, newMessages, deleted, whitelisted;
    std::vector<bool> knownBefore;
    bool deletedHadEntry = false;
    std::vector<std::pair<std::string, bool>> after;
    std::vector<std::uint8_t> states;
    std::vector<Error> errors;
    std::vector<TCredentialsRequest> prompts;
};

} // namespace bm::test
