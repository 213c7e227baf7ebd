// Reads arbitrary bytes as a stored mail message. The parser must never
// crash or hang; a read message must write back a text that reads as the
// same message and writes back the same bytes again; a changed message must
// generate a text that reads back.
#include "core/mailmsgU.h"
#include "core/msghelpersU.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    bm::TMessageLimits limits;
    limits.MaxParts = 64;
    bm::TMailMessage msg;
    msg.LoadFromString(input, limits);
    bm::GetMessageText(msg);
    bm::GetSenderKey(msg);
    bm::GetAttachmentNames(msg);

    // Saved unchanged, then read and saved again: the same bytes.
    const std::string saved = msg.SaveToString();
    bm::TMailMessage again;
    again.LoadFromString(saved, limits);
    if (again.SaveToString() != saved) std::abort();

    // The address list text reads back as the same items (angle brackets
    // inside an address cannot be written back, so those are left out).
    if (std::none_of(msg.FromList.begin(), msg.FromList.end(), [](const bm::TMailAddress& a) {
            return a.Address.find_first_of("<>") != std::string::npos;
        })) {
        bm::TMailAddressList list;
        list.SetFromText(msg.FromList.GetListText());
        if (list.GetListText() != msg.FromList.GetListText()) std::abort();
    }

    // Generated from the fields, the message still reads.
    msg.MarkChanged();
    bm::TMailMessage generated;
    generated.LoadFromString(msg.SaveToString(), limits);
    if (generated.Subject != msg.Subject) std::abort();
    return 0;
}
