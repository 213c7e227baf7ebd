#pragma once
// The local POP3 server that the user's mail client collects its filtered
// mail from: one listener (TLocalPOP3ServerMdl) serving, per account, the
// inbox message files D/<account>/<id>.msg (store/msgfilesU.h). RFC 1939 with
// CAPA (RFC 2449) and STLS (RFC 2595). The login name is the account's real
// POP3 user name, an at sign and its real POP3 host, with its real password.
//
// The files already hold the message text form (dot-stuffed, ending with the
// "." line), so RETR sends them unchanged and a message's size is its file
// size minus 3. A session lists the folder once, at login, and its message
// numbers keep their meaning until it ends (RFC 1939 §4); DELE only marks a
// message, and the marked files are removed at QUIT (the UPDATE state, RFC
// 1939 §6). A session that ends any other way removes nothing.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "config/acctU.h"
#include "config/optionsU.h"
#include "servers/srvbasethdU.h"

namespace bm {

// Everything a POP3 listener needs, given to it rather than looked up, so a
// test can run a server over its own accounts and folder.
struct TPOP3ServerSettings {
    // The accounts logins are checked against; must outlive the server.
    // Read at each login (the main thread may edit it meanwhile).
    const TAccountList* accounts = nullptr;
    // D: the folder holding one sub-folder of message files per account.
    std::filesystem::path dataFolder;
    std::vector<std::string> listenAddresses{kLoopbackAddress};
    uint16_t port = 0;     // plain listener, STLS offered (TPOP3ServerThread)
    uint16_t portSSL = 0;  // TLS from the first byte (TPOP3ServerThread)
    TServerCertFolders certFolders;
    TServerTimeouts timeouts;
    // Longest command line accepted, without its CR LF. RFC 2449 §4 allows
    // clients 255 octets; 512 leaves room for long user@host names and
    // passwords and matches the reply limit of RFC 2449 §4.
    std::size_t maxLineLength = 512;
    int maxConnections = 64;
    // Failed logins, as Dovecot treats them: the reply to the n-th failure
    // of a connection waits LoginFailureDelayMs (doubling from the first
    // delay up to the largest), which turns guessing into hours; after
    // maxLoginFailures the connection is closed.
    int loginFailureDelayMs = 1000;
    int maxLoginFailureDelayMs = 8000;
    int maxLoginFailures = 3;
    // Local clients of other users are refused before the greeting.
    TPeerPolicy peerPolicy;
};

// The wait before the reply to the failures-th failed login (1-based):
// firstMs, doubled for each earlier failure, at most maxMs. Any thread.
int LoginFailureDelayMs(int failures, int firstMs, int maxMs);

// Settings of the program's own server: the accounts and the options'
// ports and listen address, the data folder, and the program folder
// for the certificate files (the data folder as fallback). Any thread.
TPOP3ServerSettings POP3SettingsFromOptions(const TOptions& options, const TAccountList& accounts);

// One entry of a connection's message list.
struct TPOP3Entry {
    std::string id;         // file name without its final ".msg"
    std::uintmax_t size{};  // file size minus 3 (the stored "." CR LF)
    bool operator==(const TPOP3Entry&) const = default;
};

// Every plain file named "*.msg" in folder (symbolic links excluded), in the
// order the file system lists them. A missing folder gives no entry. Any thread.
std::vector<TPOP3Entry> ScanInboxFolder(const std::filesystem::path& folder);

// The state of one logged-in connection: its account, the listing taken at
// login and the messages marked for deletion. Used by the connection's
// thread only.
class TConnData {
public:
    // Takes the listing of the account's folder.
    TConnData(std::filesystem::path dataFolder, std::string accountName);

    const std::string& AccountName() const { return accountName_; }
    // Selects another account: a fresh listing, nothing marked.
    void SetAccountName(std::string accountName);
    // Every entry of the listing, marked ones included; message number n is
    // entry n - 1.
    const std::vector<TPOP3Entry>& Listing() const { return entries_; }
    // Entry n (1-based), or null when n is outside the listing.
    const TPOP3Entry* Entry(std::uintmax_t n) const;
    // Message n is in the listing and marked for deletion.
    bool IsMarked(std::uintmax_t n) const;
    // Marks message n (in the listing) for deletion at QUIT.
    void Mark(std::uintmax_t n);
    // Unmarks every message (RSET).
    void UnmarkAll();
    // The number and total size of the messages not marked (STAT).
    std::pair<std::size_t, std::uintmax_t> Unmarked() const;

    struct TRemoval {
        std::vector<std::string> removed;  // ids whose file this call removed
        bool complete = true;              // false: a marked file could not be removed
    };
    // Removes the files of the marked messages and unmarks them. A file that
    // is gone already (removed by another session or the program) counts as
    // removed, but is not named in `removed`.
    TRemoval RemoveMarked();

    // D/<account>, or empty for an account name that would leave D.
    std::filesystem::path Folder() const;
    // D/<account>/<id>.msg
    std::filesystem::path FilePath(const std::string& id) const;

private:
    void TakeListing();

    std::filesystem::path dataFolder_;
    std::string accountName_;
    std::vector<TPOP3Entry> entries_;
    std::vector<bool> marked_;  // one per entry
};

// Splits a login name at its last at sign into (user, host); a name without
// one gives an empty user and the whole name as host.
std::pair<std::string, std::string> SplitLoginName(const std::string& name);

// The name of the first account (in list order) whose Incoming UserName,
// Password and Server equal user, password and host exactly; empty when
// none does, and always for an empty password (an account saved without
// one must not open to anyone who sends none). Any thread.
std::string FindLoginAccount(const TAccountList& accounts, const std::string& loginName,
                             const std::string& password);

class TLocalPOP3ServerMdl {
public:
    // (sender, account name, message id); raised on the connection's thread
    // at QUIT for each file the session removed then, before the reply to
    // QUIT. Set it before StartListening.
    using TMessageDeletedEvent =
        std::function<void(TLocalPOP3ServerMdl& sender, const std::string& account, const std::string& id)>;

    explicit TLocalPOP3ServerMdl(TPOP3ServerSettings settings);
    ~TLocalPOP3ServerMdl();  // StopListening()
    TLocalPOP3ServerMdl(const TLocalPOP3ServerMdl&) = delete;
    TLocalPOP3ServerMdl& operator=(const TLocalPOP3ServerMdl&) = delete;

    // Listens on the settings' addresses at port (0: a free one, see Port()).
    // Modes other than None load the certificate files first. A listener
    // already running is stopped first. Throws ESocketError when the port
    // cannot be bound, ETlsError when the certificate cannot be loaded.
    // Owner thread only.
    void StartListening(TTlsMode mode, uint16_t port);
    // Stops accepting and ends every connection at once (blocked reads and
    // writes are aborted), waiting for their threads. A connection handing
    // OnMessageDeleted to the main thread must get it, so the main thread
    // must not call this without running its event loop (TPOP3ServerThread
    // calls it on its own thread). Owner thread only; idempotent.
    void StopListening();

    // Runs one session on a connection in the calling thread, as the
    // listener does on each client's own thread (with TLS from the first
    // byte already done), and returns when it has ended. Lets the protocol
    // be driven over any connected socket (fuzzing). Any thread.
    void ServeConnection(TcpConnection& connection) { RunSession(connection); }

    uint16_t Port() const { return listener_.Port(); }
    TTlsMode TlsMode() const { return mode_; }
    const TPOP3ServerSettings& Settings() const { return settings_; }
    int ConnectionCount() const { return listener_.ConnectionCount(); }

    // Finds two free ports from 11000 upward on the options' listen
    // addresses, stores them as POP3Port and POP3PortSSL and saves the
    // options (to optionsFile, or their default file when empty). Returns
    // them. Throws ESocketError when none is found, and what saving throws.
    static std::pair<uint16_t, uint16_t> ChooseFreePorts(TOptions& options,
                                                         const std::filesystem::path& optionsFile = {});
    // Listens on the options' POP3Port for a moment and connects to
    // "localhost" there; true when the connection was made.
    static bool TestPort(const TOptions& options);

    TMessageDeletedEvent OnMessageDeleted;

private:
    friend class TPOP3Session;
    void RunSession(TcpConnection& connection);
    void Refuse(TcpConnection& connection) const;

    TPOP3ServerSettings settings_;
    TTlsMode mode_ = TTlsMode::None;
    std::shared_ptr<TlsContext> tls_;
    TServerListener listener_;
};

// The first port ChooseFreePorts tries.
inline constexpr uint16_t kFirstPOP3Port = 11000;

} // namespace bm
