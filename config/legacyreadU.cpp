#include "config/legacyreadU.h"

namespace bm {

std::filesystem::path LegacyFileName(const std::filesystem::path& file) {
    std::filesystem::path legacy = file;
    legacy.replace_extension(".dat");
    return legacy;
}

void ReadLegacyRecords(TByteReader& reader, const std::function<void()>& readRecord) {
    try {
        ReadZString(reader); // a label, unused
        const std::int32_t count = ReadInt32(reader);
        for (std::int32_t i = 0; i < count && !reader.AtEnd(); ++i)
            readRecord();
    } catch (const TStreamError&) {
    }
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
