#pragma once
// TMailCheckerMdl: the POP3 side of a Mail check. For each account it
// connects and logs in, lists the mailbox by UIDL, skips what was handled
// before, downloads each new message, builds its known-message entry,
// applies the Friends list, the blacklist and the filters, hands the message
// to OnProcessMessage, deletes on the server what was marked and handled, and
// reports progress as status texts.
//
// Remote mode talks to each account's own server; local mode logs in to the
// program's local POP3 server as the mail client would (user name and host
// joined by "@") to rebuild the inbox list from the message files.
//
// Nothing is lost: a message is deleted on the server only when its entry
// was marked for deletion and OnProcessMessage reported it handled (what it
// stored is on disk), or when it is already stored whole (OnIsStored).
// Messages are told apart by account and id; every listing line gets an id
// of its own (MakeMailboxIds). A failed RETR, a handler that fails, a cut connection
// or a time-out leave the message on the server, and a broken session is
// closed without QUIT, so the server removes nothing (RFC 1939 §6).
//
// Threads: everything runs in the checker thread, events included (the
// owner marshals what must reach the main thread). AbortConnection() is the
// only member another thread may call. The lists passed in serialise their
// own access (store/msgsU.h, config/addrlistU.h, config/filtersU.h).

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "config/optionsU.h"
#include "proto/clienttlsU.h"
#include "proto/pop3clientU.h"

namespace bm {

class TAccount;
class TAccountList;
class TWhiteList;
class TBlackList;
class TFilterList;
class TKnownMessage;
class TMailMessage;
class TMessageList;
class TlsContext;
struct TUidlLine;

// Everything the module reads of the options, passed in.
struct TMailCheckerSettings {
    TPop3ClientSettings Client;
    // Options Server.POP3 PortNormal: the local server's plain port.
    int LocalPOP3Port = 110;
    // The options' proxy part; replaced by SetProxy.
    TProxyValues Proxy;
    // Where "cacert.pem", "cert.pem" and "key.pem" are looked for.
    std::filesystem::path CertificateFolder;
};

// The settings of the options object (the caller's; read once).
TMailCheckerSettings MailCheckerSettingsFromOptions(const TOptions& options,
                                                    const std::filesystem::path& certificateFolder);

// The credentials prompt after a refused login (the logon dialog).
struct TCredentialsRequest {
    std::string Title;    // "Logon - " + the incoming server
    std::string Server;
    std::string Account;
    std::string Reason;   // the server's refusal text
    // In: the values of the failed attempt. Out (on OK): the ones to use
    // for this login only.
    std::string UserName;
    std::string Password;
    bool SecureAuthentication = false; // out: SASL when set, else USER/PASS
};

// The account's error when the server closes the connection before the login
// is complete (the connection's own text is never shown, ReportError drops it).
inline constexpr const char* kClosedBeforeLogin = "The server closed the connection before the login was complete.";
// What a pass that ends early says, after its cause: "; %d of %d messages of
// the mailbox were handled, the others stay on the server."
std::string PassEndedText(const std::string& cause, int message, int handled, int total);

// Thread states of a Mail check (what the checker thread's State holds).
inline constexpr std::uint8_t kStateConnectingRemote = 1;
inline constexpr std::uint8_t kStateRetrievingRemote = 2;
inline constexpr std::uint8_t kStateConnectingLocal = 3;
inline constexpr std::uint8_t kStateRetrievingLocal = 4;

class TMailCheckerMdl {
public:
    // The lists must outlive the module. Settings are copied.
    TMailCheckerMdl(bool localMode, const TMailCheckerSettings& settings, TAccountList& accounts,
                    TWhiteList& friends, TBlackList& blacklist, TFilterList& filters);
    ~TMailCheckerMdl();
    TMailCheckerMdl(const TMailCheckerMdl&) = delete;
    TMailCheckerMdl& operator=(const TMailCheckerMdl&) = delete;

    bool LocalMode() const { return localMode_; }

    // --- events (unset ones are skipped) ---
    std::function<void(const std::string& text)> OnStatus;
    // Classification of one new message. Returns true when it was handled:
    // whatever it stored is on disk, and the entry's to-delete flag may then
    // delete the message on the server. False: nothing of it could be stored
    // (the handler reports why); it and the rest of the mailbox stay on the
    // server for the next check, and the walk ends there. An exception ends
    // the walk the same way. Either way the account's error says how many
    // messages of the mailbox were handled, and those are still deleted when
    // the session is usable. Unset: handled.
    std::function<bool(const std::string& uidl, TMailMessage& message, TKnownMessage& entry)> OnProcessMessage;
    std::function<void(const std::string& uidl, TKnownMessage& entry)> OnNewMessage;
    // entry is null: a deleted message was new in this pass.
    std::function<void(const std::string& uidl, TKnownMessage* entry)> OnMessageDeleted;
    // Runs once in a pass, after the last message was handled and before the
    // first DELE, when there is something to delete: a handler that stores
    // without syncing each file makes everything it stored durable here (one
    // sync for the pass instead of one per message). An exception ends the
    // pass and nothing is deleted. Unset: nothing to do (each handler call
    // stored durably).
    std::function<void(TAccount& account)> OnBeforeDeleteOnServer;
    std::function<void(TAccount& account, bool isLast)> OnAfterAccount;
    // Remote mode: true when the message of that id is already stored whole
    // for the account (its inbox or quarantine file), durable by the pass's
    // barrier. Such a message, still on the server because an earlier pass
    // ended before its DELE, is deleted on the server now. Unset: never.
    std::function<bool(TAccount& account, const std::string& id)> OnIsStored;
    std::function<void(const std::string& address)> OnAddressWhitelisted;

    // --- the checker thread's side (Part of the owner) ---
    // The checker thread's stop flag; unset reads as not stopped.
    std::function<bool()> IsStopRequested;
    // The checker thread's State (kState... above).
    std::function<void(std::uint8_t state)> OnSetState;
    // ReportCheckError of the checker thread: error text, account name.
    std::function<void(const std::string& text, const std::string& account)> OnReportCheckError;
    // The logon dialog, answered on the main thread: true for OK with the
    // request's out fields filled. Unset: Cancel.
    std::function<bool(TCredentialsRequest& request)> OnGetCredentials;

    // Every account in list order / those with InDefaultCheck. True when any
    // account's pass changed something.
    bool CheckAllAccounts(TMessageList& inboxList, TMessageList& knownList);
    bool CheckDefaultAccounts(TMessageList& inboxList, TMessageList& knownList);
    // One account. Never throws: a failure ends this account's pass (false).
    bool CheckAccount(TAccount& account, TMessageList& inboxList, bool isLast, TMessageList& knownList);

    // Remote mode: later connections go through this HTTP proxy tunnel
    // (CONNECT) when useProxy is set, directly otherwise.
    void SetProxy(bool useProxy, const std::string& host, const std::string& password,
                  const std::string& userName, int port);

    // Closes the socket of the POP3 connection at once; every later command
    // and connection of this module fails. Any thread; never blocks.
    void AbortConnection();

private:
    struct TPending; // a message marked for deletion in this pass
    enum class TLineResult { Unchanged, Changed, NotStored };
    bool CheckAccountList(bool defaultOnly, TMessageList& inboxList, TMessageList& knownList);
    bool ConnectAccount(TAccount& account);
    TPop3ConnectParams ConnectParams(TAccount& account);
    bool AskCredentials(TAccount& account, const std::string& reason, TPop3ConnectParams& params);
    bool LooksLikeRefusedLogin(TAccount& account, const EPop3Error& error) const;
    bool ProcessMailbox(TAccount& account, TMessageList& inboxList, TMessageList& knownList);
    TLineResult ProcessLine(TAccount& account, const TUidlLine& line, int index, std::string id,
                            TMessageList& inboxList, TMessageList& knownList, std::vector<TPending>& toDelete);
    std::optional<TLineResult> MetBefore(TAccount& account, const TUidlLine& line, int number,
                                         const std::string& id, TMessageList& inboxList,
                                         TMessageList& knownList, std::vector<TPending>& toDelete);
    std::unique_ptr<TKnownMessage> Retrieve(TAccount& account, std::size_t lineIndex, int number,
                                            const TUidlLine& line, std::string& id, TMailMessage& message);
    void ApplyLists(TMailMessage& message, TKnownMessage& entry, const std::string& id);
    void ApplyFilters(TAccount& account, TMailMessage& message, TKnownMessage& entry, const std::string& id);
    void Quit(TAccount& account);
    void DrainPipeline();
    bool DeleteOnServer(TAccount& account, std::vector<TPending>& toDelete, TMessageList& inboxList);
    void SendDeletes(std::vector<TPending>& toDelete, std::size_t from, std::size_t count,
                    const std::unordered_map<std::string, std::vector<int>>& numbers);
    void PreparePipeline(const std::vector<TUidlLine>& lines, const std::string& account,
                         const TMessageList& inboxList, const TMessageList& knownList);
    bool FetchPipelined(std::size_t lineIndex, std::int64_t& size, std::string& text);
    void DiscardPipelined(std::size_t lineIndex);
    void Status(const std::string& text);
    void SetState(std::uint8_t state);
    void Report(const std::string& text, const std::string& account);
    bool Stopped() const;
    void LearnTlsOffered(TAccount& account);

    const bool localMode_;
    TMailCheckerSettings settings_;
    TAccountList& accounts_;
    TWhiteList& friends_;
    TBlackList& blacklist_;
    TFilterList& filters_;
    TPop3Client client_;
    TClientTlsContexts tls_;

    // Retrievals sent ahead in this pass (when the server pipelines): the
    // listing lines judged new before the walk, with their message numbers,
    // and those requested whose answers are not read yet, oldest first.
    struct TPipeline {
        bool On = false;
        std::vector<std::pair<std::size_t, int>> Wanted;
        std::size_t Next = 0;
        std::deque<std::size_t> InFlight;
    };
    TPipeline pipe_;
    // The ids met in this pass: a second listing line with the same id (the
    // server's ids collide once made file-name safe) is left alone rather
    // than stored over the first one's file.
    std::unordered_set<std::string> passIds_;
    // The ids of the pass's listing lines ("" for one identified by its
    // content once retrieved; MakeMailboxIds).
    std::vector<std::string> ids_;
    // Filters reported as disabled in this check (once each).
    std::unordered_set<std::string> filterProblems_;
};

} // namespace bm
