// Reads arbitrary bytes as a knownmessages.dat image: the reader must stay
// within the bytes and never throw, and the records it gives must write and
// read back to the same records (bytes, lines, attachment names, filter).
#include "store/msgsU.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

bool SameRecord(const bm::TKnownMessage& a, const bm::TKnownMessage& b)
{
    return a.Bytes() == b.Bytes() && a.TextLines == b.TextLines && a.AttachmentNames == b.AttachmentNames &&
           a.FilterName == b.FilterName;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Seeded with a valid header most of the time so the records get exercised.
    std::string image(reinterpret_cast<const char*>(data), size);
    if (size > 0 && data[0] % 4 != 0)
        image = std::string("S_V_S_1.01\0", 11) + image.substr(1);
    auto anyFilter = [](const std::string& name) { return name.size() % 2 == 0; };
    auto records = bm::ReadKnownMessages(image, anyFilter);

    bm::TMessageList list;
    for (auto& r : records)
        list.Add(bm::CloneKnownMessage(*r));
    auto back = bm::ReadKnownMessages(bm::WriteKnownMessages(list), anyFilter);
    if (back.size() != records.size())
        std::abort();
    for (std::size_t i = 0; i < back.size(); ++i)
        if (!SameRecord(*back[i], *records[i]))
            std::abort();
    return 0;
}
