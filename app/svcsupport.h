#pragma once
// What several command services share: reading a message file that may be
// gone, and adding senders to an address list once each.

#include "core/mailmsgU.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace bm {

class TAddressList;

// The message of a message file, or nullopt when the file is missing or
// cannot be read (traced).
std::optional<TMailMessage> ReadMessageFile(const std::filesystem::path& file);

// Adds each address in lower case that the list does not hold yet, enabled,
// and calls added with it; gives the addresses added.
std::vector<std::string> AddMissingAddresses(TAddressList& list, const std::vector<std::string>& addresses,
                                             const std::function<void(const std::string&)>& added);

// The senders of the message file (From, Sender, Reply-To), none when it
// cannot be read.
std::vector<std::string> SendersOfFile(const std::filesystem::path& file);

} // namespace bm
