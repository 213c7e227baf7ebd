#pragma once
// The file side of the lists kept in an XML file that replaced an older binary
// ".dat" file (filters.xml, badmailreplies.xml): the one-time conversion, and
// the care for an XML file the reader could not take. Such a file leaves the
// list empty but is kept: the save that first replaces it copies it to
// "<file>.bak", so the records in it can still be recovered.
//
// Threads: no lock of its own; the owning list calls it under its lock.

#include <filesystem>
#include <functional>
#include <string>

namespace bm {

class TXMLListFile {
public:
    // What loading asks of the list.
    struct TReaders {
        // Frees every item.
        std::function<void()> clear;
        // Appends the records of the ".dat" file's bytes.
        std::function<void(const std::string& bytes)> readLegacy;
        // Appends the records of the XML file; false when it cannot be read.
        std::function<bool(const std::filesystem::path& xmlFile)> readXML;
        // Writes the list to the XML file given to Load.
        std::function<void()> save;
    };

    // Clears the list and LoadFailed, then: when the ".dat" beside `file`
    // exists, reads it, saves the list as XML and deletes the ".dat";
    // otherwise, when `file` exists, reads it, and when that fails clears the
    // list again and sets LoadFailed for `file`. Throws std::runtime_error
    // "Cannot read file <dat>" when the ".dat" cannot be read, and what save
    // throws.
    void Load(const std::filesystem::path& file, const TReaders& list);
    // Call before writing `file`: copies it to "<file>.bak" when it is the
    // file that could not be read (best effort).
    void BeforeSave(const std::filesystem::path& file) const;
    // Call after `file` was written: an unreadable file is gone once replaced.
    void Saved(const std::filesystem::path& file);
    // True after a load found an XML file it could not read (until it is saved).
    bool LoadFailed() const { return loadFailed_; }

private:
    bool loadFailed_ = false;
    std::filesystem::path failedFile_;
};

} // namespace bm
