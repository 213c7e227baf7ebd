#pragma once
// The user's mailboxes: an account is a POP3 server to download from
// (TIncomingMail), the SMTP server to send through (TOutgoingMail), the
// addresses that belong to it, the reply template of its key challenges and
// its quarantine settings. The process-wide list Accounts() is loaded from
// "accounts.ini" in the data folder at start-up, right after the options.
//
// Threads: the checker thread and the local server threads read accounts
// while the main thread edits them and the mail sender sets LoginRequired and
// saves. Each account guards its fields with its own shared lock (getters
// return copies; Snapshot() copies all at once); the list guards its order
// with its own lock and hands out accounts as shared pointers, so an account
// a worker holds stays valid after the main thread deletes it from the list
// (its setters then mark no list). Any thread may call any member.
//
// Files: "accounts.ini" (sections "General", "Account<n>",
// "Account<n>.Incoming", "Account<n>.Outgoing"); every password stored through
// EncryptPassword. An "accounts.dat" of an older version beside it is read
// once, accounts.ini is written from it and the .dat is deleted. Its layout,
// in the binary stream encoding: version marker, one string (ignored), an
// integer count, then per account: Name; Server, UserName, Password (plain),
// SecurePasswordAuthentication (byte), SSL (byte), Port (integer); Port
// (integer), Server, UserName, Password (plain), SSL (byte), LoginRequired,
// UseAccountUser (bytes), BadMailReply, an integer address count and the
// addresses, DefaultEMailAddress; QuarantineDays (integer), KeysInMessages,
// InDefaultCheck (bytes).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "config/badmailreplyU.h"
#include "config/optionsU.h"

namespace bm {

class TIniFile;
class TMailAddressList;
class TAccount;
class TAccountList;

// "An account name can't contain the characters" CR LF and \/:*?"<>|
// (what the account dialog shows for a refused name).
extern const char* const kAccountNameRuleMessage;
// False for a name holding one of \ / : * ? " < > | (the characters
// MakeSafeFileName replaces), and for "." and "..", which as folder names
// would leave the data folder.
bool IsValidAccountName(const std::string& name);

struct TIncomingValues {
    std::string Server;
    std::string UserName;
    std::string Password; // plain text in memory
    bool SecurePasswordAuthentication = false;
    std::uint8_t SSL = 0; // 0 none; 1, 2, 3 explicit, implicit, required TLS
    int Port = 110;
    // The SHA-256 fingerprint of the server certificate the user trusts
    // although it does not verify (self-signed); empty: none.
    std::string CertFingerprint;
    // With SSL 1: the server offered STLS once, so a session without it is
    // refused as a downgrade rather than continued in plain text.
    bool TlsOffered = false;
    bool operator==(const TIncomingValues&) const = default;
};

struct TOutgoingValues {
    int Port = 25;
    std::string Server;
    std::string UserName;
    std::string Password; // plain text in memory
    std::uint8_t SSL = 0;
    bool LoginRequired = false;
    bool UseAccountUser = true;
    std::string BadMailReply; // ID of the reply template
    std::vector<std::string> EMailAddresses;
    std::string DefaultEMailAddress;
    // As in TIncomingValues, for the SMTP server (STARTTLS).
    std::string CertFingerprint;
    bool TlsOffered = false;
    bool operator==(const TOutgoingValues&) const = default;
};

struct TAccountValues {
    std::string Name;
    TIncomingValues Incoming;
    TOutgoingValues Outgoing;
    int QuarantineDays = 14;
    bool KeysInMessages = true;
    bool InDefaultCheck = true;
    bool operator==(const TAccountValues&) const = default;
};

// POP3 settings of an account (section "Account<n>.Incoming").
class TIncomingMail {
public:
    explicit TIncomingMail(TAccount& owner) : owner_(owner) {}
    TIncomingMail(const TIncomingMail&) = delete;
    TIncomingMail& operator=(const TIncomingMail&) = delete;

    TAccount& Owner() const { return owner_; }
    TIncomingValues Values() const;

    std::string Server() const;
    std::string UserName() const;
    std::string Password() const;
    bool SecurePasswordAuthentication() const;
    std::uint8_t SSL() const;
    int Port() const;
    std::string CertFingerprint() const;
    bool TlsOffered() const;

    // Each sets the owning list's Modified flag only for a real change.
    void SetServer(const std::string& v);
    void SetUserName(const std::string& v);
    void SetPassword(const std::string& v);
    void SetSecurePasswordAuthentication(bool v);
    void SetSSL(std::uint8_t v);
    void SetPort(int v);
    void SetCertFingerprint(const std::string& v);
    void SetTlsOffered(bool v);
    // Copies every stored field of other through the setters.
    void Assign(const TIncomingMail& other);

private:
    TAccount& owner_;
};

// SMTP settings of an account (section "Account<n>.Outgoing").
class TOutgoingMail {
public:
    explicit TOutgoingMail(TAccount& owner) : owner_(owner) {}
    TOutgoingMail(const TOutgoingMail&) = delete;
    TOutgoingMail& operator=(const TOutgoingMail&) = delete;

    TAccount& Owner() const { return owner_; }
    TOutgoingValues Values() const;

    int Port() const;
    std::string Server() const;
    std::string UserName() const;
    std::string Password() const;
    std::uint8_t SSL() const;
    bool LoginRequired() const;
    bool UseAccountUser() const;
    std::string BadMailReply() const;
    std::vector<std::string> EMailAddresses() const;
    std::string DefaultEMailAddress() const;
    std::string CertFingerprint() const;
    bool TlsOffered() const;

    void SetPort(int v);
    void SetServer(const std::string& v);
    void SetUserName(const std::string& v);
    void SetPassword(const std::string& v);
    void SetSSL(std::uint8_t v);
    void SetLoginRequired(bool v);
    void SetUseAccountUser(bool v);
    void SetBadMailReply(const std::string& v);
    // The list as a whole; a change is any difference in order or spelling.
    void SetEMailAddresses(const std::vector<std::string>& v);
    void SetDefaultEMailAddress(const std::string& v);
    void SetCertFingerprint(const std::string& v);
    void SetTlsOffered(bool v);
    // Copies every stored field of other through the setters (the address
    // list whole).
    void Assign(const TOutgoingMail& other);

    // A detached copy of the template whose ID equals BadMailReply exactly,
    // from replies (the process-wide list by default), or nullopt.
    std::optional<TBadMailReply> GetReplyTemplate(const TBadMailReplies& replies) const;

    // The first address of `first` (in order) that belongs to this account,
    // else the first such address of `second`, else "". Membership in
    // EMailAddresses ignores letter case; the address is returned as the
    // message spells it.
    std::string FindOwnAddress(const TMailAddressList& first, const TMailAddressList& second) const;

private:
    TAccount& owner_;
};

class TAccount {
public:
    // Defaults; QuarantineDays and KeysInMessages from options.
    explicit TAccount(const TOptions& options);
    // Reads the account from section (and section + ".Incoming" / ".Outgoing")
    // of ini; missing or malformed keys take their defaults (QuarantineDays
    // and KeysInMessages those of options). A stored password that cannot be
    // read is taken as empty, its error ("accounts.ini: Invalid code value -
    // ...") is in LoadErrors(), and WriteTo writes the stored text back as it
    // was until the password is set (SetPassword or SetValues, even to "").
    TAccount(const TIniFile& ini, const std::string& section, const TOptions& options);
    TAccount(const TAccount&) = delete;
    TAccount& operator=(const TAccount&) = delete;
    ~TAccount();

    TAccountValues Snapshot() const;
    // Replaces every stored field at once (one lock), marking the list only
    // when something differs (a kept unreadable password counts).
    void SetValues(const TAccountValues& values);
    // The errors met reading the account from its file (one per unreadable
    // stored password).
    std::vector<std::string> LoadErrors() const;

    std::string Name() const;
    int QuarantineDays() const;
    bool KeysInMessages() const;
    bool InDefaultCheck() const;
    void SetName(const std::string& v);
    void SetQuarantineDays(int v);
    void SetKeysInMessages(bool v);
    void SetInDefaultCheck(bool v);

    TIncomingMail& Incoming() { return incoming_; }
    const TIncomingMail& Incoming() const { return incoming_; }
    TOutgoingMail& Outgoing() { return outgoing_; }
    const TOutgoingMail& Outgoing() const { return outgoing_; }

    // The list holding the account, or null.
    TAccountList* Owner() const;

    // Writes the three sections; throws EPasswordTooLong (nothing written).
    void WriteTo(TIniFile& ini, const std::string& section) const;

private:
    friend class TIncomingMail;
    friend class TOutgoingMail;
    friend class TAccountList;

    template <class T>
    T Get(T TAccountValues::*field) const
    {
        std::shared_lock lock(mutex_);
        return values_.*field;
    }
    template <class Part, class T>
    T GetPart(Part TAccountValues::*part, T Part::*field) const
    {
        std::shared_lock lock(mutex_);
        return (values_.*part).*field;
    }
    template <class T>
    void Set(T TAccountValues::*field, const T& v)
    {
        std::unique_lock lock(mutex_);
        if (values_.*field == v)
            return;
        values_.*field = v;
        MarkModifiedLocked();
    }
    template <class Part, class T>
    void SetPart(Part TAccountValues::*part, T Part::*field, const T& v)
    {
        std::unique_lock lock(mutex_);
        if ((values_.*part).*field == v)
            return;
        (values_.*part).*field = v;
        MarkModifiedLocked();
    }
    void MarkModifiedLocked();
    void SetOwner(TAccountList* owner);
    void SetPasswordOf(std::string& password, std::string& kept, const std::string& v);

    mutable std::shared_mutex mutex_;
    TAccountValues values_;
    // Stored password texts that could not be read, written back unchanged.
    std::string keptIncomingPassword_;
    std::string keptOutgoingPassword_;
    std::vector<std::string> loadErrors_;
    TAccountList* owner_ = nullptr;
    TIncomingMail incoming_{*this};
    TOutgoingMail outgoing_{*this};
};

using TAccountPtr = std::shared_ptr<TAccount>;

// An error met while loading the list: the account's name and the message.
struct TAccountLoadError {
    std::string Account;
    std::string Message;
    bool operator==(const TAccountLoadError&) const = default;
};

class TAccountList {
public:
    // options gives the defaults of loaded accounts; it must outlive the list.
    explicit TAccountList(const TOptions& options);
    TAccountList(const TAccountList&) = delete;
    TAccountList& operator=(const TAccountList&) = delete;
    ~TAccountList();

    // "accounts.ini" in the data folder.
    static std::filesystem::path DefaultFileName();

    // Loads the file (empty name: DefaultFileName()) and appends its accounts.
    // An "accounts.dat" beside it is converted first: read up to its end
    // (never past it; a torn account keeps what was read, once its name was),
    // written as the INI file and deleted; a .dat whose count cannot be read
    // is left in place and the INI file read instead. A missing file clears
    // the list. Clears Modified. A stored password that cannot be read does
    // not stop the load: that account gets an empty password, the error is
    // in LoadErrors() for the caller to report, and the file is not written.
    // Throws EIniFileError when the converted file cannot be written (the .dat
    // stays). Loads and saves of one list are serialised with each other.
    void LoadFromFile(const std::filesystem::path& fileName = {});
    // The errors of the last LoadFromFile, in file order.
    std::vector<TAccountLoadError> LoadErrors() const;
    // Replaces the file atomically with General/Accounts and every account
    // numbered from 1 in list order (sections of removed accounts vanish) and
    // clears Modified unless something changed meanwhile. Throws EIniFileError
    // or EPasswordTooLong; the file is untouched then.
    void SaveToFile(const std::filesystem::path& fileName = {});

    int Count() const;
    // The account at index (0-based), or null when out of range.
    TAccountPtr Item(int index) const;
    // The accounts in list order at one instant (safe to iterate).
    std::vector<TAccountPtr> Items() const;
    // Appends, sets the account's owner to this list and sets Modified;
    // returns it. Throws std::logic_error for an account that a list holds.
    TAccountPtr Add(TAccountPtr account);
    // Removes (ignored when out of range) and sets Modified.
    void Delete(int index);
    void Clear();
    // The first account whose name equals name exactly (case-sensitive), or null.
    TAccountPtr FindByName(const std::string& name) const;

    bool Modified() const;
    void SetModified(bool modified);

private:
    friend class TAccount;
    void MarkModified();
    std::uint64_t Generation() const;
    void AppendLoaded(std::vector<TAccountPtr> accounts);
    bool ConvertLegacy(const std::filesystem::path& legacy, const std::filesystem::path& file);

    const TOptions& options_;
    mutable std::shared_mutex mutex_;
    std::vector<TAccountPtr> items_;
    std::mutex fileMutex_; // one load or save at a time: one temporary per file
    mutable std::mutex modifiedMutex_;
    bool modified_ = false;
    std::vector<TAccountLoadError> loadErrors_;  // guarded by modifiedMutex_
    std::uint64_t generation_ = 0;
};

// The quarantine period of the named account's messages: the account's own
// QuarantineDays when the options' UseIndividualAccountSettings is on and the
// account exists, otherwise the options' QuarantineDays.
int QuarantineDaysFor(const std::string& accountName, const TOptions& options, const TAccountList& accounts);

// With UseIndividualAccountSettings off, gives every account the options'
// QuarantineDays and KeysInMessages (what confirming the options dialog does);
// returns true when that changed an account (the caller then saves).
bool ApplyGlobalQuarantineSettings(TAccountList& accounts, const TOptions& options);

// Writes accounts to ini as the file holds them (General/Accounts, then the
// sections of account n = 1..), after removing every section ini had.
void WriteAccountsIni(TIniFile& ini, const std::vector<TAccountPtr>& accounts);

// The process-wide account list (created on first use over Options()).
TAccountList& Accounts();

} // namespace bm
