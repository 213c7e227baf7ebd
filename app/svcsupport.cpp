#include "app/svcsupport.h"

#include "config/addrlistU.h"
#include "config/textcaseU.h"
#include "core/loggerU.h"
#include "core/msghelpersU.h"

namespace bm {

std::optional<TMailMessage> ReadMessageFile(const std::filesystem::path& file)
{
    std::error_code ec;
    if (!std::filesystem::exists(file, ec))
        return std::nullopt;
    try {
        TMailMessage message;
        message.LoadFromFile(file);
        return message;
    } catch (const std::exception& e) {
        WriteTrace({"Reading a message file", e.what()}, kTraceEvent);
        return std::nullopt;
    }
}

std::vector<std::string> AddMissingAddresses(TAddressList& list, const std::vector<std::string>& addresses,
                                             const std::function<void(const std::string&)>& added)
{
    std::vector<std::string> result;
    for (const std::string& address : addresses) {
        const std::string lower = LowerText(address);
        if (lower.empty() || !list.Add(lower))
            continue; // on the list already (in any letter case)
        result.push_back(lower);
        if (added)
            added(lower);
    }
    return result;
}

std::vector<std::string> SendersOfFile(const std::filesystem::path& file)
{
    const std::optional<TMailMessage> message = ReadMessageFile(file);
    return message ? GetSenderAddresses(*message) : std::vector<std::string> {};
}

} // namespace bm
