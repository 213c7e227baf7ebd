#pragma once
// TRemoteCheckerMdl: the classifier of a Mail check. For each new message
// that its remote-mode POP3 module downloads it decides where the message
// goes (ProcessMessage), and after each account it sends that account's
// queued challenges and confirmations and waits before the next account
// (AfterAccount).
//
//  - a friend's message becomes a file of the account's inbox folder;
//  - an unknown sender's message becomes a quarantine file with a
//    QuarantinedMessages row under its sender set's key; a new sender set is
//    sent, once, a challenge that carries a random key in a marker line;
//  - a reply carrying one of our keys, from one of the key's senders,
//    releases every message held under the key and makes the senders friends;
//  - a challenge of another copy of this program is answered once, with its
//    key, so that the other side releases the user's message;
//  - marked (blacklist, filter) messages are dropped; messages from one of
//    the account's own addresses and messages without any sender address
//    are held in the quarantine without a challenge;
//  - so are, from an unknown sender, a message that the account's own
//    server found forged (FailsOwnServerAuthentication) and, unless
//    ChallengeAutomaticMail, automatic and list mail (AutomaticMailReason);
//    the trace says why;
//  - a reply to a message the user sent through the local SMTP server
//    (TrustRepliesToSentMail) is a friend's message, its senders join the
//    Friends list;
//  - challenges and confirmations are marked as automatic replies, and a
//    foreign challenge that answers one of ours is not confirmed;
//  - a friend's message that carries a key is delivered to the inbox as well.
// Every handled message is then deleted on the server, except one whose file
// exists but is not whole and a foreign challenge while AutoReplyToRequests
// is off. A message already stored whole (an earlier pass ended before its
// DELE) counts as handled.
//
// Nothing is lost: a message whose inbox file, quarantine file or
// QuarantinedMessages row cannot be written is reported and left on the
// server unmarked; the next check meets it again. Files are written whole but
// unsynced during a pass and made durable together before its first DELE
// (OnBeforeDeleteOnServer); when that fails it is reported, the pass ends and
// nothing is deleted.
//
// Threads: an instance lives for one Mail check and is used by the checker
// thread only, except AbortConnection(). Its events are called in the checker
// thread; the owner hands them to the main thread.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "check/mailchkmdl.h"
#include "proto/mailsenderdatamdl.h"
#include "store/msgfilesU.h"
#include "store/msgsU.h"
#include "store/quarantinedbU.h"

namespace bm {

class TAccount;
class TAccountList;
class TBadMailReplies;
class TBadMailReply;
class TFilterList;
class TKnownMessage;
class TMailMessage;
class TMessageList;
class TOptions;
class TStopSignal;
class TThreadData;
class TWhiteList;
class TBlackList;

using TAccountPtr = std::shared_ptr<TAccount>;

// The objects a Mail check works on, given by its starter: every list must
// be set (a check picks no list by itself). An empty Database means
// QuarantineDbPath(); unset client settings are built from the options with
// the program's folder as certificate folder. Everything given must outlive
// the check.
struct TCheckContext {
    TOptions* Options = nullptr;
    TAccountList* Accounts = nullptr;
    TWhiteList* Friends = nullptr;
    TBlackList* Blacklist = nullptr;
    TFilterList* Filters = nullptr;
    TBadMailReplies* Replies = nullptr;
    TMessageList* Inbox = nullptr;
    TMessageList* Known = nullptr;
    std::filesystem::path Database;
    std::optional<TMailCheckerSettings> Pop3;
    std::optional<TMailSenderSettings> Smtp;

    // A copy with the database path and the client settings filled in.
    // Throws std::runtime_error naming the first list that is not set.
    TCheckContext Completed() const;
};

// --- Keys -------------------------------------------------------------------

inline constexpr std::size_t kKeyLength = 32;
inline constexpr std::string_view kKeyAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
inline constexpr std::string_view kKeyMarkerOpening = " -- ANTI-SPAM - ";
inline constexpr std::string_view kKeyMarkerClosing = " - ANTI-SPAM";
// Where the last line of a challenge points: the maker's home page.
inline constexpr std::string_view kProductHomePage = "https://www.veldhaven.example/brixmoor/";
// Reported once per check for an account whose template cannot be found.
inline constexpr std::string_view kNoReplyTemplateMessage = "No reply template is selected for this account";

// 32 characters drawn independently and uniformly from kKeyAlphabet, from a
// process-wide generator seeded once (std::random_device). Any thread.
std::string GenerateKey();
// " -- ANTI-SPAM - " + key + " - ANTI-SPAM".
std::string KeyMarkerLine(std::string_view key);

// The key a message carries, or "". Searches the Body lines and then the
// lines of every text part. A quoting reply is read as written: quote marks
// (">" and blanks) at the start of a line are dropped, lines are joined with
// one blank and runs of blanks read as one, so a marker that a mail client
// prefixed with "> " or wrapped onto two lines is still found. The key is
// the text between the first opening " -- ANTI-SPAM - " and the next
// " - ANTI-SPAM", trimmed; a text longer than 32 bytes is not a key (it could
// never be stored, and answering it would never be remembered).
std::string ExtractKey(const TMailMessage& message);

// True when any blank-separated address of senderText is one of the
// blank-separated addresses of fromList, ignoring letter case.
bool SendersMatch(std::string_view fromList, std::string_view senderText);

// The blank-separated addresses of a sender text joined by ", ": the To text
// that addresses each of them.
std::string SenderRecipientsText(std::string_view senderText);

// True when a sender address of the message is one of the account's
// outgoing EMailAddresses (ignoring letter case) or equals its
// DefaultEMailAddress exactly.
bool IsFromOwnAddress(const TAccount& account, const TMailMessage& message);

// The challenge to the senders of a quarantined message: the template's
// body, then (KeysInMessages) the four key lines; To = every sender address;
// Subject = ownAddress + ": " + the template's Subject; From = ownAddress.
// The classifier passes the account's address the message was sent to, else
// its DefaultEMailAddress.
TMailMessage BuildChallenge(const TAccount& account, const TBadMailReply& reply, std::string_view key,
                            std::string_view senderText, const std::string& ownAddress);
// The automatic answer to a foreign challenge: one body line, the marker of
// key; To = every sender address; Subject = the challenge's Subject;
// From = ownAddress.
TMailMessage BuildConfirmation(std::string_view key, std::string_view senderText, const std::string& subject,
                               const std::string& ownAddress);

// --- Messages that get no challenge ---------------------------------------------

// Why a message is mail of a robot that a challenge must not answer
// (RFC 3834 §2), or "" for a person's mail:
//  - "list mail": List-Id, List-Unsubscribe, List-Post, Mailing-List,
//    X-Mailing-List, or Precedence list;
//  - "automatic mail": Auto-Submitted other than "no"; Precedence bulk or
//    junk; Return-Path "<>" (or none on a message that a server delivered,
//    i.e. one carrying Delivered-To); a MAILER-DAEMON or postmaster sender;
//    Content-Type multipart/report (RFC 6522).
std::string AutomaticMailReason(const TMailMessage& message);

// True when the first Authentication-Results field (RFC 8601) whose
// authserv-id is the host of the account's POP3 server, or that host's
// domain (the host without its first label), says dmarc=fail, or spf=fail
// without dkim=pass. Fields below it were written before the account's
// server saw the message, by whoever sent it, and are not read.
bool FailsOwnServerAuthentication(const TAccount& account, const TMailMessage& message);

// Marks a message the program sends in answer to another as an automatic
// reply (RFC 3834 §5): Auto-Submitted auto-replied, Precedence bulk,
// In-Reply-To and References of the answered message (RFC 5322 §3.6.4), and
// a Message-ID of its own in the domain of ownAddress, which it returns in
// the form MessageIdsIn gives.
std::string MarkAsAutoReply(TMailMessage& reply, const TMailMessage& answered, const std::string& ownAddress);

// --- The classifier ---------------------------------------------------------

class TRemoteCheckerMdl {
public:
    // Opens the module's own database connection (throws EDatabaseError) and
    // creates its POP3 module and sender over the context. stop is the
    // checker thread's stop flag (null: one of the module's own).
    explicit TRemoteCheckerMdl(const TCheckContext& context = {}, TStopSignal* stop = nullptr);
    ~TRemoteCheckerMdl();
    TRemoteCheckerMdl(const TRemoteCheckerMdl&) = delete;
    TRemoteCheckerMdl& operator=(const TRemoteCheckerMdl&) = delete;

    // --- events (checker thread; unset ones are skipped) ---
    // A friend's message joined the inbox list: its UIDL and the copy of the
    // entry now in the list (valid during the call).
    std::function<void(const std::string& uidl, const TKnownMessage& entry)> OnWhitelisted;
    std::function<void(const std::string& address)> OnAddressWhitelisted;
    std::function<void(const std::string& text)> OnStatus;
    // A QuarantinedMessages row was written (read back from the table).
    std::function<void(const TQuarantinedMessage& row)> OnQuarantined;
    // A QuarantinedMessages row was removed by a release.
    std::function<void(int id)> OnQuarantineRemoved;

    // --- the checker thread's side ---
    std::function<void(std::uint8_t state)> OnSetState;
    std::function<void(const std::string& text, const std::string& account)> OnReportCheckError;
    std::function<bool(TCredentialsRequest& request)> OnGetCredentials;
    std::function<void(bool interruptible)> OnSetInterruptible;

    // Applies the options' proxy to the POP3 module, then checks the given
    // account (as the last), else the accounts with InDefaultCheck when
    // defaultOnly, else every account. Gives the POP3 module's result.
    bool CheckMail(bool defaultOnly, const TAccountPtr& account);

    // The classification of one new message (the POP3 module's
    // OnProcessMessage). Returns false when the message must stay on the
    // server unmarked (a storage failure, reported); true otherwise, with the
    // entry's to-delete flag set when the server copy may go. Throws on a
    // database failure outside the quarantine storing (the account's pass
    // then ends; the message stays on the server).
    bool ProcessMessage(const std::string& uidl, TMailMessage& message, TKnownMessage& entry);

    // Sends the account's queue, then, unless isLast, waits until
    // DelayBetweenAccounts seconds have passed since the call began or the
    // stop flag is set.
    void AfterAccount(TAccount& account, bool isLast);

    // Adds every address of fromList that the Friends list lacks (lower case,
    // enabled) and fires OnAddressWhitelisted with it as written.
    void AddSendersToFriends(std::string_view fromList);
    // Moves the key's quarantine files into the inbox folder and removes the
    // rows of the moved ones (OnQuarantineRemoved for each). A row whose file
    // could not be moved stays. Returns the number of rows left. First makes
    // the pass's pending files durable; throws std::runtime_error when that
    // fails.
    int ReleaseKey(int keyId);

    // Closes the POP3 connection at once. Any thread.
    void AbortConnection();

    TMailCheckerMdl& Pop3() { return *pop3_; }
    TMailSender& Sender() { return *sender_; }
    TThreadData& Data() { return *data_; }

private:
    void Connect();
    bool ProcessKeyed(TAccount& account, const std::string& key, TMailMessage& message, TKnownMessage& entry);
    bool ProcessFriend(TAccount& account, const std::string& uidl, TMailMessage& message, TKnownMessage& entry);
    bool ProcessUnknown(TAccount& account, const std::string& uidl, TMailMessage& message, TKnownMessage& entry);
    bool ProcessUnchallenged(TAccount& account, const std::string& uidl, TMailMessage& message,
                             TKnownMessage& entry);
    bool IsReplyToSentMail(const TMailMessage& message);
    bool IsStored(const std::string& account, const std::string& id);
    int KeyForSenders(TAccount& account, const std::string& senderText, TMailMessage& message);
    bool StoreQuarantined(TAccount& account, const std::string& uidl, int keyId, TMailMessage& message,
                          TKnownMessage& entry);
    void AnswerForeignKey(TAccount& account, const std::string& key, TMailMessage& message);
    void WaitBetweenAccounts(std::chrono::steady_clock::time_point start);
    void MakeFilesDurable(TAccount& account);
    void Status(const std::string& text);
    void Report(const std::string& text, const std::string& account);

    TCheckContext context_;
    std::unique_ptr<TStopSignal> ownStop_;
    TStopSignal* stop_;
    std::unique_ptr<TThreadData> data_;
    std::unique_ptr<TMailCheckerMdl> pop3_;
    std::unique_ptr<TMailSender> sender_;
    std::set<std::string> templateReported_; // accounts told of a missing template
    TMessageFileBatch files_;                 // written in this pass, not yet durable
};

} // namespace bm
