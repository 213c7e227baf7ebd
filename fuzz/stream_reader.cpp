// Reads arbitrary bytes as a record stream in every shape the record files
// use: the reader must stay within the bytes, fail only with TStreamError, and
// every value it read must write back to the bytes it came from.
#include "core/streamU.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// One value of the kind chosen by the selector byte; appends its encoding.
void ReadOne(std::uint8_t kind, bm::TByteReader& r, bm::TByteWriter& w)
{
    switch (kind % 6) {
    case 0: bm::WriteInt32(w, bm::ReadInt32(r)); break;
    case 1: bm::WriteByte(w, bm::ReadByte(r)); break;
    case 2: bm::WriteDouble(w, bm::ReadDouble(r)); break;
    case 3: {
        const bool atEndBefore = r.AtEnd();
        const std::size_t before = r.Position();
        const std::string s = bm::ReadZString(r);
        // A string cut off by the end has no 0 byte to write back.
        if (!atEndBefore && r.Position() - before == s.size() + 1)
            bm::WriteZString(w, s);
        else
            w.WriteRaw(s);
        break;
    }
    case 4: (void)bm::ReadVersion(r); break;
    default: (void)bm::ReadBlock(r); break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::uint8_t kind = data[0];
    const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
    bm::TByteReader r(input);
    std::uint8_t selector = kind;
    for (int steps = 0; steps < 4096 && !r.AtEnd(); ++steps) {
        const std::size_t before = r.Position();
        bm::TByteWriter w;
        try {
            ReadOne(selector, r, w);
        } catch (const bm::TStreamError&) {
            if (r.Position() != before)
                std::abort();   // a failed read moves nothing
            ++selector;
            continue;
        }
        if (r.Position() > input.size())
            std::abort();
        const std::size_t kindNow = selector % 6;
        if (kindNow <= 3 && w.Bytes() != input.substr(before, r.Position() - before))
            std::abort();
        selector = static_cast<std::uint8_t>(selector * 31 + 7);
    }
    return 0;
}
