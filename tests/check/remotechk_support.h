#pragma once
// A data folder of its own (XDG_DATA_HOME pointed at a temporary folder for
// the life of the object), the quarantine tables in it, lists of its own and
// a TRemoteCheckerMdl over them with every event recorded.

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "check/basechkthrdU.h"
#include "check/remotechkmdl.h"
#include "config/acctU.h"
#include "config/addrlistU.h"
#include "config/badmailreplyU.h"
#include "config/filtersU.h"
#include "config/optionsU.h"
#include "core/commonsU.h"
#include "core/mailmsgU.h"
#include "store/ffdatamdl.h"
#include "store/msgsU.h"
#include "store/threaddatamdl.h"
#include "tests/proto/tls_trust.h"
#include "tests/support/testenv.h"

namespace bm::test {

// Points XDG_DATA_HOME at a fresh folder; restores the old value at the end.
class DataFolderScope {
public:
    DataFolderScope()
    {
        if (const char* old = std::getenv("XDG_DATA_HOME"))
            old_ = old;
        Enter();
    }
    ~DataFolderScope()
    {
        if (old_.empty())
            unsetenv("XDG_DATA_HOME");
        else
            setenv("XDG_DATA_HOME", old_.c_str(), 1);
    }
    DataFolderScope(const DataFolderScope&) = delete;
    DataFolderScope& operator=(const DataFolderScope&) = delete;
    // Makes this folder the data folder again (after another scope took over).
    void Enter() const { setenv("XDG_DATA_HOME", dir_.path().c_str(), 1); }
    std::filesystem::path DataFolder() const
    {
        Enter();
        return GetDataFolder();
    }

private:
    TempDir dir_;
    std::string old_;
};

// Everything a Mail check works on, for one user.
struct CheckWorld {
    CheckWorld()
    {
        database = scope.DataFolder() / "quarantine.db";
        db = std::make_unique<TFFData>(database);
        context.Options = &options;
        context.Accounts = &accounts;
        context.Friends = &friends;
        context.Blacklist = &blacklist;
        context.Filters = &filters;
        context.Replies = &replies;
        context.Inbox = &inbox;
        context.Known = &known;
        context.Database = database;
        TMailCheckerSettings pop3;
        pop3.Client.ConnectTimeoutMs = 10000;
        pop3.Client.ReadTimeoutMs = 10000;
        pop3.Client.WriteTimeoutMs = 10000;
        // The peers' certificate is trusted as a user trusts a private CA.
        pop3.CertificateFolder = TrustedPeerFolder();
        context.Pop3 = pop3;
        TMailSenderSettings smtp;
        smtp.readTimeoutMs = 10000;
        smtp.connectTimeoutMs = 10000;
        smtp.writeTimeoutMs = 10000;
        smtp.certificateFolder = TrustedPeerFolder();
        context.Smtp = smtp;
        options.SetDelayBetweenAccounts(0);
    }

    // A template the accounts can name.
    void AddTemplate(const std::string& id, const std::string& subject, const std::vector<std::string>& body)
    {
        auto reply = std::make_unique<TBadMailReply>();
        reply->ID = id;
        reply->SetSubject(subject);
        reply->Body = body;
        replies.Add(std::move(reply));
    }

    TAccountPtr AddAccount(const std::string& name, const std::vector<std::string>& addresses,
                           const std::string& replyId = "tmpl")
    {
        auto a = std::make_shared<TAccount>(options);
        TAccountValues v = a->Snapshot();
        v.Name = name;
        v.Outgoing.EMailAddresses = addresses;
        v.Outgoing.DefaultEMailAddress = addresses.empty() ? "" : addresses.front();
        v.Outgoing.BadMailReply = replyId;
        v.KeysInMessages = true;
        a->SetValues(v);
        return accounts.Add(a);
    }

    DataFolderScope scope;
    std::filesystem::path database;
    std::unique_ptr<TFFData> db;
    TOptions options;
    TAccountList accounts{options};
    TWhiteList friends;
    TBlackList blacklist;
    TFilterList filters;
    TBadMailReplies replies;
    TMessageList inbox;
    TMessageList known;
    TCheckContext context;
};

// Parses raw into message and builds its entry as the POP3 module does.
inline std::unique_ptr<TKnownMessage> EntryFor(const std::string& account, const std::string& uidl,
                                               const std::string& raw, TMailMessage& message)
{
    message.LoadFromRaw(raw);
    auto entry = std::make_unique<TKnownMessage>();
    entry->SetId(uidl);
    entry->SetAccount(account);
    entry->SetFrom(message.FromList.Empty() ? std::string() : message.FromList[0].GetText());
    entry->SetSubject(message.Subject);
    entry->SetSize(static_cast<std::int32_t>(raw.size()));
    entry->SetDate(message.Date);
    return entry;
}

// A classifier over a CheckWorld, events recorded.
struct ClassifierHarness {
    struct Error {
        std::string Text;
        std::string Account;
    };

    explicit ClassifierHarness(CheckWorld& w) : world(w), classifier(std::make_unique<TRemoteCheckerMdl>(w.context, &stop))
    {
        TRemoteCheckerMdl& c = *classifier;
        c.OnWhitelisted = [this](const std::string& uidl, const TKnownMessage& e) {
            whitelisted.push_back(uidl);
            whitelistedInInbox = whitelistedInInbox || world.inbox.Find(e.Id()) != nullptr;
        };
        c.OnAddressWhitelisted = [this](const std::string& a) { addresses.push_back(a); };
        c.OnStatus = [this](const std::string& t) { statuses.push_back(t); };
        c.OnQuarantined = [this](const TQuarantinedMessage& r) { quarantined.push_back(r); };
        c.OnQuarantineRemoved = [this](int id) { removed.push_back(id); };
        c.OnReportCheckError = [this](const std::string& t, const std::string& a) { errors.push_back({t, a}); };
    }

    // Builds the entry as the POP3 module does and classifies the message.
    bool Process(const std::string& account, const std::string& uidl, const std::string& raw,
                 bool isFriend = false, bool deleteVerdict = false)
    {
        TMailMessage m;
        entry = EntryFor(account, uidl, raw, m);
        entry->SetWhitelisted(isFriend);
        entry->SetDeleteVerdict(deleteVerdict);
        entry->SetToBeDeleted(deleteVerdict);
        return classifier->ProcessMessage(uidl, m, *entry);
    }
    bool Marked() const { return entry && entry->ToBeDeleted(); }

    CheckWorld& world;
    TStopSignal stop;
    std::unique_ptr<TRemoteCheckerMdl> classifier;
    std::unique_ptr<TKnownMessage> entry;
    std::vector<std::string> whitelisted, addresses, statuses;
    bool whitelistedInInbox = false;
    std::vector<TQuarantinedMessage> quarantined;
    std::vector<int> removed;
    std::vector<Error> errors;
};

// A message text with CR LF line ends (not in the stored form).
inline std::string Mail(const std::string& from, const std::string& to, const std::string& subject,
                        const std::vector<std::string>& body)
{
    std::string m = "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject +
                    "\r\nDate: Thu, 10 Dec 2026 10:00:00 +0000\r\nMessage-ID: <" + subject + "@test>\r\n\r\n";
    for (const std::string& line : body)
        m += line + "\r\n";
    return m;
}

// The stored form of a raw message: dot-stuffed, with the final "." line.
inline std::string StoredForm(const std::string& raw)
{
    std::string out;
    std::size_t pos = 0;
    while (pos < raw.size()) {
        std::size_t end = raw.find("\r\n", pos);
        const std::string line = raw.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        out += (line.starts_with(".") ? "." : "") + line + "\r\n";
        if (end == std::string::npos)
            break;
        pos = end + 2;
    }
    return out + ".\r\n";
}

// Number of ".msg" files in a folder (not below it).
inline int CountMessageFiles(const std::filesystem::path& folder)
{
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec))
        if (e.is_regular_file() && e.path().extension() == ".msg")
            ++n;
    return n;
}

} // namespace bm::test
