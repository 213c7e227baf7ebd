#include "config/legacyreadU.h"

namespace bm {

std::filesystem::path LegacyFileName(const std::filesystem::path& file) {
    std::filesystem::path legacy = file;
    legacy.replace_extension(".dat");
    return legacy;
}

std::string ReadRecordString(TByteReader& reader, std::string_view bytes) {
    if (reader.AtEnd())
        throw TStreamError("Record cut at the end of the file");
    std::string value = ReadZString(reader);
    const std::size_t end = reader.Position();
    if (end == 0 || end > bytes.size() || bytes[end - 1] != '\0')
        throw TStreamError("Record cut at the end of the file");
    return value;
}

} // namespace bm
