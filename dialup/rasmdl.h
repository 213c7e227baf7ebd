#pragma once
// Dial-up networking: dialling the first phone-book entry before a Mail check
// and telling whether a dial-up connection is up, on top of the platform's
// remote access service.
//
// The service is an interface so that the dialler's logic can be run against
// a fake one. This platform has no remote access service:
// PlatformRemoteAccessService() lists no entry and no connection, so
// DialFirstEntry and IsConnected are false; the application core then takes
// the option Connect as 0 ("Assume I'm online"), since HasEntries is false.
//
// Threads: main thread only. Dialling blocks the caller until the service
// reports the outcome (only the synchronous mode is used).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bm {

// Result codes of the service: 0 success, anything else an error.
inline constexpr std::uint32_t kRasSuccess = 0;
// The buffer given to an enumeration is too small; the service then tells the
// room it needs.
inline constexpr std::uint32_t kRasBufferTooSmall = 603;
// The connection state "connected" of a connection's status.
inline constexpr std::uint32_t kRasConnected = 8192;

// The stored dial parameters of one phone-book entry.
struct TRasDialParams {
    std::string EntryName;
    std::string UserName;
    std::string Password;
};

// A connection handle of the service; 0 stands for none.
using TRasConnection = std::uintptr_t;

// The platform's remote access service, as the dialler uses it.
class IRemoteAccessService {
public:
    virtual ~IRemoteAccessService() = default;
    // The phone-book entry names in the platform's order. room is the number
    // of entries the caller has room for; when there are more, the result is
    // kRasBufferTooSmall, names stays empty and needed tells the room asked.
    virtual std::uint32_t EnumEntries(std::size_t room, std::vector<std::string>& names, std::size_t& needed) = 0;
    // The entry's stored user name and password; passwordSaved tells whether
    // the password is a stored one (otherwise it is not to be used).
    virtual std::uint32_t GetEntryDialParams(const std::string& entry, TRasDialParams& params,
                                             bool& passwordSaved) = 0;
    // Dials and waits for the outcome. handle is set as soon as the attempt
    // has one (also when it then fails).
    virtual std::uint32_t Dial(const TRasDialParams& params, TRasConnection& handle) = 0;
    virtual std::uint32_t HangUp(TRasConnection handle) = 0;
    // The text of an error code.
    virtual std::string ErrorString(std::uint32_t code) = 0;
    // The active connections, at most room of them.
    virtual std::uint32_t EnumConnections(std::size_t room, std::vector<TRasConnection>& connections) = 0;
    // The connection's state (kRasConnected when it is up).
    virtual std::uint32_t GetConnectStatus(TRasConnection connection, std::uint32_t& state) = 0;
};

// The service of this platform: no phone book, no connection; dialling fails.
// The object lives as long as the process. Any thread.
IRemoteAccessService& PlatformRemoteAccessService();

enum class TDialMode {
    Synchronous,  // Dial waits until the connection is made or has failed
    Asynchronous, // only one dialler may dial at a time
};

// The dialler component. Failures are std::runtime_error with the texts below.
class TRasDialer {
public:
    inline static const char* const kEntryNotFound = "Entry not found!";
    inline static const char* const kNoEntrySelected = "No entry selected!";
    inline static const char* const kSetupBeforeDialing =
        "You must setup entry, username and password before dialing!";
    inline static const char* const kOneDialerAtATime = "Only one component can dial at a time!";
    // The longest error text OnError passes, in characters.
    static constexpr std::size_t kMaxErrorText = 100;

    // Reads the entry names. service must outlive the dialler.
    explicit TRasDialer(IRemoteAccessService& service);
    ~TRasDialer();
    TRasDialer(const TRasDialer&) = delete;
    TRasDialer& operator=(const TRasDialer&) = delete;

    // Reads the entry names again and gives them. The first attempt has room
    // for one entry; when the service asks for more (603) the call is repeated
    // with the room it asked for. Any other failure gives an empty list.
    const std::vector<std::string>& Entries();

    // Selects the entry and reads its stored user name and password (the
    // password only when the service reports it as saved). Throws
    // kEntryNotFound for a name that is not an entry; kNoEntrySelected, with
    // user name and password cleared, when the service cannot give them.
    void SelectEntry(const std::string& name);
    const std::string& EntryName() const { return params_.EntryName; }
    const std::string& UserName() const { return params_.UserName; }
    const std::string& Password() const { return params_.Password; }

    // Dials the selected entry and gives the service's result code. Throws
    // kSetupBeforeDialing when the entry, its user name or its password is
    // empty, and kOneDialerAtATime in asynchronous mode while another dialler
    // dials. On success raises OnDialStatus "Connected" and OnConnected; on a
    // failure hangs the attempt up when it has a handle and raises OnError
    // with the service's text (at most kMaxErrorText characters) and the code.
    std::uint32_t Dial();

    // The active connections (room for 100) whose state is connected; 0 when
    // the enumeration fails.
    int ConnectedCount();

    TDialMode DialMode = TDialMode::Synchronous;

    std::function<void(TRasDialer& sender, const std::string& text, std::uint32_t code)> OnError;
    std::function<void(TRasDialer& sender, const std::string& text)> OnDialStatus;
    std::function<void(TRasDialer& sender)> OnConnected;
    std::function<void(TRasDialer& sender)> OnDisconnected;

private:
    void DialStatus(const std::string& text);

    IRemoteAccessService& service_;
    std::vector<std::string> entries_;
    TRasDialParams params_;
    TRasConnection handle_ = 0;
};

// The dial-up manager: created by the main window (the application core) at
// start-up and freed first at shutdown. It never hangs up a connection it
// made: the connection stays up after the Mail check.
class TRASManager {
public:
    // The account name under which dial-up errors are reported.
    inline static const char* const kErrorAccount = "General";

    // service: the remote access service (default: the platform's); it must
    // outlive the manager.
    explicit TRASManager(IRemoteAccessService* service = nullptr);
    ~TRASManager();
    TRASManager(const TRASManager&) = delete;
    TRASManager& operator=(const TRASManager&) = delete;

    // False when the phone book has no entry. Otherwise selects the first
    // entry, raises OnStatus "Dialing up " + its name, and dials; a failure of
    // the selection or the dial goes to ReportError under "General" and does
    // not propagate. Gives IsConnected() afterwards.
    bool DialFirstEntry();
    // True when at least one dial-up connection is up.
    bool IsConnected();
    // True when the phone book has at least one entry (the install run's
    // test for the default of the option Connect).
    bool HasEntries();

    // The dialler, created on first use.
    TRasDialer& Dialer();

    std::function<void(TRASManager& sender, const std::string& text)> OnStatus;

private:
    IRemoteAccessService& service_;
    std::unique_ptr<TRasDialer> dialer_;
};

} // namespace bm
