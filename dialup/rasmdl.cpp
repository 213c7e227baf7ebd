#include "dialup/rasmdl.h"

#include "core/errorsU.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace bm {

namespace {

// The room for active connections that ConnectedCount asks for.
constexpr std::size_t kConnectionRoom = 100;

// Set while a dialler in asynchronous mode dials: the platform lets only one
// asynchronous dial run per process.
std::atomic<bool> gAsyncDialing {false};

// The first maxChars characters of a UTF-8 text, never cutting a sequence.
std::string CutCharacters(const std::string& text, std::size_t maxChars)
{
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c & 0xC0) == 0x80)
            continue; // a continuation byte belongs to the character before
        if (chars == maxChars)
            return text.substr(0, i);
        ++chars;
    }
    return text;
}

// What a system without a remote access service answers.
class TNoRemoteAccessService final : public IRemoteAccessService {
public:
    // ERROR_CANNOT_OPEN_PHONEBOOK: there is no phone book to dial from.
    static constexpr std::uint32_t kNoPhoneBook = 621;

    std::uint32_t EnumEntries(std::size_t, std::vector<std::string>& names, std::size_t& needed) override
    {
        names.clear();
        needed = 0;
        return kRasSuccess;
    }
    std::uint32_t GetEntryDialParams(const std::string&, TRasDialParams&, bool& passwordSaved) override
    {
        passwordSaved = false;
        return kNoPhoneBook;
    }
    std::uint32_t Dial(const TRasDialParams&, TRasConnection& handle) override
    {
        handle = 0;
        return kNoPhoneBook;
    }
    std::uint32_t HangUp(TRasConnection) override { return kRasSuccess; }
    std::string ErrorString(std::uint32_t) override { return "Dial-up networking is not available on this system."; }
    std::uint32_t EnumConnections(std::size_t, std::vector<TRasConnection>& connections) override
    {
        connections.clear();
        return kRasSuccess;
    }
    std::uint32_t GetConnectStatus(TRasConnection, std::uint32_t& state) override
    {
        state = 0;
        return kNoPhoneBook;
    }
};

} // namespace

IRemoteAccessService& PlatformRemoteAccessService()
{
    static TNoRemoteAccessService service;
    return service;
}

// --- TRasDialer -----------------------------------------------------------------

TRasDialer::TRasDialer(IRemoteAccessService& service)
    : service_(service)
{
    Entries();
}

TRasDialer::~TRasDialer() = default;

const std::vector<std::string>& TRasDialer::Entries()
{
    entries_.clear();
    std::size_t room = 1;
    std::size_t needed = 0;
    std::vector<std::string> names;
    std::uint32_t code = service_.EnumEntries(room, names, needed);
    if (code == kRasBufferTooSmall && needed > room) {
        room = needed;
        names.clear();
        code = service_.EnumEntries(room, names, needed);
    }
    if (code == kRasSuccess)
        entries_ = std::move(names);
    return entries_;
}

void TRasDialer::SelectEntry(const std::string& name)
{
    if (std::find(entries_.begin(), entries_.end(), name) == entries_.end())
        throw std::runtime_error(kEntryNotFound);
    params_ = {};
    params_.EntryName = name;
    TRasDialParams stored;
    bool passwordSaved = false;
    if (service_.GetEntryDialParams(name, stored, passwordSaved) != kRasSuccess) {
        params_.UserName.clear();
        params_.Password.clear();
        throw std::runtime_error(kNoEntrySelected);
    }
    params_.UserName = stored.UserName;
    params_.Password = passwordSaved ? stored.Password : std::string();
}

void TRasDialer::DialStatus(const std::string& text)
{
    if (OnDialStatus)
        OnDialStatus(*this, text);
}

std::uint32_t TRasDialer::Dial()
{
    if (params_.EntryName.empty() || params_.UserName.empty() || params_.Password.empty())
        throw std::runtime_error(kSetupBeforeDialing);
    const bool async = DialMode == TDialMode::Asynchronous;
    if (async && gAsyncDialing.exchange(true))
        throw std::runtime_error(kOneDialerAtATime);
    DialStatus("Dialing");
    handle_ = 0;
    const std::uint32_t code = service_.Dial(params_, handle_);
    if (async)
        gAsyncDialing = false;
    if (code == kRasSuccess) {
        DialStatus("Connected");
        if (OnConnected)
            OnConnected(*this);
        return code;
    }
    if (handle_ != 0) {
        service_.HangUp(handle_);
        handle_ = 0;
    }
    if (OnError)
        OnError(*this, CutCharacters(service_.ErrorString(code), kMaxErrorText), code);
    return code;
}

int TRasDialer::ConnectedCount()
{
    std::vector<TRasConnection> connections;
    if (service_.EnumConnections(kConnectionRoom, connections) != kRasSuccess)
        return 0;
    int count = 0;
    for (TRasConnection c : connections) {
        std::uint32_t state = 0;
        if (service_.GetConnectStatus(c, state) == kRasSuccess && state == kRasConnected)
            ++count;
    }
    return count;
}

// --- TRASManager ----------------------------------------------------------------

TRASManager::TRASManager(IRemoteAccessService* service)
    : service_(service ? *service : PlatformRemoteAccessService())
{
}

TRASManager::~TRASManager() = default;

TRasDialer& TRASManager::Dialer()
{
    if (!dialer_)
        dialer_ = std::make_unique<TRasDialer>(service_);
    return *dialer_;
}

bool TRASManager::HasEntries()
{
    return !Dialer().Entries().empty();
}

bool TRASManager::DialFirstEntry()
{
    TRasDialer& dialer = Dialer();
    const std::vector<std::string> entries = dialer.Entries();
    if (entries.empty())
        return false;
    try {
        dialer.SelectEntry(entries.front());
        if (OnStatus)
            OnStatus(*this, "Dialing up " + entries.front());
        dialer.Dial();
    } catch (const std::exception& e) {
        ReportError(e.what(), kErrorAccount);
    }
    return IsConnected();
}

bool TRASManager::IsConnected()
{
    return Dialer().ConnectedCount() > 0;
}

} // namespace bm
