// Feeds arbitrary bytes to the XML document reader: it must return true with a
// document element or false with none, and what it read must be writable and
// readable again (the second read may fail: texts from CDATA are not rewrapped).
#include "core/myxml.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    bm::TMyXML doc;
    if (!doc.LoadFromString(input)) {
        if (doc.DocumentElement() != nullptr)
            std::abort();
        return 0;
    }
    if (doc.DocumentElement() == nullptr)
        std::abort();
    const std::string written = doc.SaveToString();
    bm::TMyXML again;
    (void)again.LoadFromString(written);
    return 0;
}
