#include "config/xmllistfileU.h"

#include "config/legacyreadU.h"
#include "platform/atomicfile.h"

#include <stdexcept>
#include <system_error>

namespace bm {

void TXMLListFile::Load(const std::filesystem::path& file, const TReaders& list) {
    const std::filesystem::path legacy = LegacyFileName(file);
    list.clear();
    loadFailed_ = false;
    std::error_code ec;
    if (std::filesystem::exists(legacy, ec)) {
        std::string bytes;
        if (!ReadWholeFile(legacy, bytes))
            throw std::runtime_error("Cannot read file " + legacy.string());
        list.readLegacy(bytes);
        list.save();
        std::filesystem::remove(legacy, ec);
    } else if (std::filesystem::exists(file, ec) && !list.readXML(file)) {
        list.clear();
        loadFailed_ = true;
        failedFile_ = file;
    }
}

void TXMLListFile::BeforeSave(const std::filesystem::path& file) const {
    if (!loadFailed_ || file != failedFile_)
        return;
    std::string unreadable;
    if (ReadWholeFile(file, unreadable))
        WriteFileAtomic(std::filesystem::path(file.string() + ".bak"), unreadable);
}

void TXMLListFile::Saved(const std::filesystem::path& file) {
    if (file == failedFile_)
        loadFailed_ = false;
}

} // namespace bm
