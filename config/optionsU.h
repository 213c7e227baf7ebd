#pragma once
// The global settings of the system (options.ini in the data folder) with
// their proxy part.
//
// One process-wide object, Options(), created on first use and loaded at
// start-up before the accounts. The options dialog changes it through the
// setters and saves it; the local servers save it right after choosing their
// ports.
//
// Threads: the checker thread and the local server threads read the options
// while the main thread changes them. Every getter takes the object's shared
// lock and returns a copy (a string is never handed out by reference);
// Snapshot() copies all values at once for a reader that needs several of them
// consistent with each other. Setters, loading and saving take the exclusive
// lock. Any thread may call any member.
//
// Files: loading and saving go through TIniFile (atomic replacement of the
// file). An older binary "options.dat" beside the INI file is read once,
// options.ini is written from it and the .dat is deleted.

#include <atomic>
#include <filesystem>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>

namespace bm {

// A configuration file that could not be read, e.g. a malformed stored
// password. The message is the file's name, ": " and the reason
// ("accounts.ini: Invalid code value - 1F...").
class EConfigFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Values of the proxy part (section "Proxy"). The password is held in plain
// text and stored enciphered.
struct TProxyValues {
    bool UseProxy = false;
    std::string Address;
    int Port = 0;
    bool Logon = false;
    std::string Username;
    std::string Password;
    bool operator==(const TProxyValues&) const = default;
};

// Every stored option with its default.
struct TOptionsValues {
    int QuarantineDays = 14;
    bool PlaySound = true;
    std::string SoundFile; // default: DefaultSoundFile()
    bool AutoCheck = true;
    int AutoInterval = 5;
    bool MinimizeOnStartup = true;
    bool CheckOnStartup = true;
    int Connect = 0; // 0 assume online, 1 dial up, 2 do not dial up
    int POP3Port = 0; // 0: not chosen yet
    int SMTPPort = 0;
    bool AutoReplyToRequests = true;
    bool WhitelistRecipients = true;
    int POP3PortSSL = 0;
    int SMTPPortSSL = 0;
    bool KeysInMessages = true;
    bool UseIndividualAccountSettings = false;
    bool BlackListCleanedQuarantine = true;
    bool SendQuarantineMessage = true;
    int DelayBetweenAccounts = 0;
    bool ShowAttachmentsInQuarantine = false;
    bool ShowAttachmentsInInbox = false;
    // IPv4 address the local POP3 and SMTP servers bind to: loopback unless the
    // user widens it on purpose ("Server"/"ListenAddress" = "0.0.0.0" or "any").
    std::string ListenAddress = "127.0.0.1";
    // Challenge automatic mail (bounces, lists, robots) too; off by default
    // because answering robots is what gets a server blacklisted.
    bool ChallengeAutomaticMail = false;
    // A reply to a message the user sent through the local SMTP server
    // passes as from a friend.
    bool TrustRepliesToSentMail = true;
    TProxyValues Proxy;
    bool operator==(const TOptionsValues&) const = default;
};

// The listen address that a stored text stands for: "any" (any letter case)
// and "0.0.0.0" give "0.0.0.0"; a dotted IPv4 address gives itself in
// canonical form; anything else gives "127.0.0.1".
std::string NormalizeListenAddress(const std::string& text);

// The program folder followed by "newmail.wav".
std::string DefaultSoundFile();

class TOptions;

// The proxy part of the options; its setters set the owner's Modified flag.
// Reached through TOptions::Proxy(); same threading rules as TOptions.
class TProxySettings {
public:
    explicit TProxySettings(TOptions& owner) : owner_(owner) {}
    TProxySettings(const TProxySettings&) = delete;
    TProxySettings& operator=(const TProxySettings&) = delete;

    TOptions& Owner() const { return owner_; }

    bool UseProxy() const;
    std::string Address() const;
    int Port() const;
    bool Logon() const;
    std::string Username() const;
    std::string Password() const;
    TProxyValues Values() const;

    void SetUseProxy(bool value);
    void SetAddress(const std::string& value);
    void SetPort(int value);
    void SetLogon(bool value);
    void SetUsername(const std::string& value);
    void SetPassword(const std::string& value);

private:
    TOptions& owner_;
};

class TOptions {
public:
    // All defaults; Modified false.
    TOptions();
    TOptions(const TOptions&) = delete;
    TOptions& operator=(const TOptions&) = delete;

    // "options.ini" in the data folder.
    static std::filesystem::path DefaultFileName();

    // Loads the file (an empty name: DefaultFileName()). When the ".dat" file
    // of the same base name exists it is read up to its end (never past it),
    // the INI file is written from what was read and the .dat is deleted; a
    // .dat that yields no value at all is left in place and the INI file, if
    // any, is read instead. Otherwise the INI file is read, every missing,
    // malformed or out-of-range key taking the field's current value. With
    // neither file nothing changes and nothing is written. Clears Modified.
    // Throws EConfigFileError naming the file for a malformed stored proxy
    // password (nothing is changed then), and the INI layer's EIniFileError
    // when the converted file cannot be written (the .dat stays). Loads and
    // saves of one object are serialised with each other.
    void LoadFromFile(const std::filesystem::path& fileName = {});
    // Writes every key in the file's fixed order (atomic replacement) and
    // clears Modified unless a setter changed a value meanwhile. Throws
    // EIniFileError when the file cannot be written, EPasswordTooLong for an
    // unstorable proxy password; the file is untouched then.
    void SaveToFile(const std::filesystem::path& fileName = {});

    // All values at one instant.
    TOptionsValues Snapshot() const;
    // Replaces every value at once (ListenAddress normalised), setting
    // Modified only when something differs.
    void SetValues(const TOptionsValues& values);

    int QuarantineDays() const { return Get(&TOptionsValues::QuarantineDays); }
    bool PlaySound() const { return Get(&TOptionsValues::PlaySound); }
    std::string SoundFile() const { return Get(&TOptionsValues::SoundFile); }
    bool AutoCheck() const { return Get(&TOptionsValues::AutoCheck); }
    int AutoInterval() const { return Get(&TOptionsValues::AutoInterval); }
    bool MinimizeOnStartup() const { return Get(&TOptionsValues::MinimizeOnStartup); }
    bool CheckOnStartup() const { return Get(&TOptionsValues::CheckOnStartup); }
    int Connect() const { return Get(&TOptionsValues::Connect); }
    int POP3Port() const { return Get(&TOptionsValues::POP3Port); }
    int SMTPPort() const { return Get(&TOptionsValues::SMTPPort); }
    bool AutoReplyToRequests() const { return Get(&TOptionsValues::AutoReplyToRequests); }
    bool WhitelistRecipients() const { return Get(&TOptionsValues::WhitelistRecipients); }
    int POP3PortSSL() const { return Get(&TOptionsValues::POP3PortSSL); }
    int SMTPPortSSL() const { return Get(&TOptionsValues::SMTPPortSSL); }
    bool KeysInMessages() const { return Get(&TOptionsValues::KeysInMessages); }
    bool UseIndividualAccountSettings() const { return Get(&TOptionsValues::UseIndividualAccountSettings); }
    bool BlackListCleanedQuarantine() const { return Get(&TOptionsValues::BlackListCleanedQuarantine); }
    bool SendQuarantineMessage() const { return Get(&TOptionsValues::SendQuarantineMessage); }
    bool ChallengeAutomaticMail() const { return Get(&TOptionsValues::ChallengeAutomaticMail); }
    bool TrustRepliesToSentMail() const { return Get(&TOptionsValues::TrustRepliesToSentMail); }
    int DelayBetweenAccounts() const { return Get(&TOptionsValues::DelayBetweenAccounts); }
    bool ShowAttachmentsInQuarantine() const { return Get(&TOptionsValues::ShowAttachmentsInQuarantine); }
    bool ShowAttachmentsInInbox() const { return Get(&TOptionsValues::ShowAttachmentsInInbox); }
    std::string ListenAddress() const { return Get(&TOptionsValues::ListenAddress); }

    // Each setter stores the value and sets Modified only when it differs from
    // the current one (strings compared case-sensitively).
    void SetQuarantineDays(int v) { Set(&TOptionsValues::QuarantineDays, v); }
    void SetPlaySound(bool v) { Set(&TOptionsValues::PlaySound, v); }
    void SetSoundFile(const std::string& v) { Set(&TOptionsValues::SoundFile, v); }
    void SetAutoCheck(bool v) { Set(&TOptionsValues::AutoCheck, v); }
    void SetAutoInterval(int v) { Set(&TOptionsValues::AutoInterval, v); }
    void SetMinimizeOnStartup(bool v) { Set(&TOptionsValues::MinimizeOnStartup, v); }
    void SetCheckOnStartup(bool v) { Set(&TOptionsValues::CheckOnStartup, v); }
    void SetConnect(int v) { Set(&TOptionsValues::Connect, v); }
    void SetPOP3Port(int v) { Set(&TOptionsValues::POP3Port, v); }
    void SetSMTPPort(int v) { Set(&TOptionsValues::SMTPPort, v); }
    void SetAutoReplyToRequests(bool v) { Set(&TOptionsValues::AutoReplyToRequests, v); }
    void SetWhitelistRecipients(bool v) { Set(&TOptionsValues::WhitelistRecipients, v); }
    void SetPOP3PortSSL(int v) { Set(&TOptionsValues::POP3PortSSL, v); }
    void SetSMTPPortSSL(int v) { Set(&TOptionsValues::SMTPPortSSL, v); }
    void SetKeysInMessages(bool v) { Set(&TOptionsValues::KeysInMessages, v); }
    void SetUseIndividualAccountSettings(bool v) { Set(&TOptionsValues::UseIndividualAccountSettings, v); }
    void SetBlackListCleanedQuarantine(bool v) { Set(&TOptionsValues::BlackListCleanedQuarantine, v); }
    void SetSendQuarantineMessage(bool v) { Set(&TOptionsValues::SendQuarantineMessage, v); }
    void SetChallengeAutomaticMail(bool v) { Set(&TOptionsValues::ChallengeAutomaticMail, v); }
    void SetTrustRepliesToSentMail(bool v) { Set(&TOptionsValues::TrustRepliesToSentMail, v); }
    void SetDelayBetweenAccounts(int v) { Set(&TOptionsValues::DelayBetweenAccounts, v); }
    void SetShowAttachmentsInQuarantine(bool v) { Set(&TOptionsValues::ShowAttachmentsInQuarantine, v); }
    void SetShowAttachmentsInInbox(bool v) { Set(&TOptionsValues::ShowAttachmentsInInbox, v); }
    // Stores NormalizeListenAddress(v).
    void SetListenAddress(const std::string& v) { Set(&TOptionsValues::ListenAddress, NormalizeListenAddress(v)); }

    TProxySettings& Proxy() { return proxy_; }
    const TProxySettings& Proxy() const { return proxy_; }

    bool Modified() const { return modified_.load(); }
    void SetModified(bool modified) { modified_.store(modified); }

    // Start with the system: on when the XDG autostart entry
    // AutostartEntryFile() exists and its Exec line is exactly the quoted
    // program file. An unreadable entry reads as off.
    bool StartWithWindows() const;
    // Does nothing when the state is already the requested one; otherwise
    // writes the entry (atomic replacement) or removes it, at once and
    // independently of saving the file, and sets Modified. An entry that
    // cannot be written or removed is traced, not thrown; Modified is set all
    // the same (also when the program file cannot be found).
    void SetStartWithWindows(bool on);
    // $XDG_CONFIG_HOME/autostart/<product name>.desktop.
    static std::filesystem::path AutostartEntryFile();
    // The entry's text for a program file (what SetStartWithWindows writes).
    static std::string AutostartEntryText(const std::filesystem::path& programFile);

private:
    friend class TProxySettings;

    template <class T>
    T Get(T TOptionsValues::*field) const
    {
        std::shared_lock lock(mutex_);
        return values_.*field;
    }
    template <class T>
    void Set(T TOptionsValues::*field, const T& value)
    {
        std::unique_lock lock(mutex_);
        if (values_.*field == value)
            return;
        values_.*field = value;
        modified_.store(true);
    }
    template <class T>
    T GetProxy(T TProxyValues::*field) const
    {
        std::shared_lock lock(mutex_);
        return values_.Proxy.*field;
    }
    template <class T>
    void SetProxy(T TProxyValues::*field, const T& value)
    {
        std::unique_lock lock(mutex_);
        if (values_.Proxy.*field == value)
            return;
        values_.Proxy.*field = value;
        modified_.store(true);
    }

    mutable std::shared_mutex mutex_;
    std::mutex fileMutex_; // one load or save at a time: one temporary per file
    TOptionsValues values_;
    TProxySettings proxy_{*this};
    std::atomic<bool> modified_{false};
};

// The process-wide options (created on first use, never freed before exit).
TOptions& Options();

} // namespace bm
