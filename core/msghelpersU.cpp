// The readable text, sender addresses and attachment names of a message.

#include "core/msghelpersU.h"

#include "core/mailmsgimpl.h"

#include <algorithm>

namespace bm {

std::vector<std::string> GetMessageText(const TMailMessage& message) {
    const TMessagePart* chosen = nullptr;
    for (const TMessagePart& part : message.Parts) {
        if (part.ContentType != "text/html" && part.ContentType != "text/plain") continue;
        if (part.Kind == TPartKind::Text || part.FileName.empty()) chosen = &part;
    }
    if (chosen == nullptr) return message.Body;
    if (chosen->Kind == TPartKind::Text) return chosen->Lines;
    return mailimpl::SplitLines(chosen->Content);
}

namespace {

// Inserts keeping the list sorted without regard to letter case; an address
// already there in any spelling keeps the first one.
void AddSorted(std::vector<std::string>& list, const std::string& address) {
    if (address.empty()) return;
    const auto less = [](const std::string& a, const std::string& b) {
        return mailimpl::CompareNoCase(a, b) < 0;
    };
    const auto at = std::lower_bound(list.begin(), list.end(), address, less);
    if (at != list.end() && mailimpl::CompareNoCase(*at, address) == 0) return;
    list.insert(at, address);
}

} // namespace

std::vector<std::string> GetSenderAddresses(const TMailMessage& message) {
    std::vector<std::string> list;
    for (const TMailAddress& item : message.FromList) AddSorted(list, item.Address);
    AddSorted(list, message.Sender.Address);
    for (const TMailAddress& item : message.ReplyTo) AddSorted(list, item.Address);
    return list;
}

std::string GetSenderKey(const TMailMessage& message) {
    std::string key;
    for (const std::string& address : GetSenderAddresses(message)) {
        key += address;
        key += ' ';
    }
    return key;
}

std::vector<std::string> GetAttachmentNames(const TMailMessage& message) {
    std::vector<std::string> names;
    for (const TMessagePart& part : message.Parts)
        if (part.Kind == TPartKind::Attachment && !part.FileName.empty()) names.push_back(part.FileName);
    return names;
}

} // namespace bm
