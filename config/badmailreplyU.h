#pragma once
// Key-request reply templates: the subject and body sent to an unknown sender
// whose mail was quarantined (the key challenge appends the key). Each account
// names its template by ID. Stored in "badmailreplies.xml" in the data folder;
// an older "badmailreplies.dat" is converted once and deleted.
//
// Threads: the process-wide list BadMailReplies() is changed by the main thread
// (account dialog) and read by the checker thread (key challenge). Every member
// of TBadMailReplies takes the list's own lock; a caller that keeps a pointer
// to a template across calls holds Mutex() for as long as it uses it, or uses
// FindCopyByID, which hands out a detached copy.

#include "config/xmllistfileU.h"

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace bm {

class TBadMailReplies;

class TBadMailReply {
public:
    // A new template with a fresh ID: the millisecond tick count, "_", and a
    // sequence number no other template object of this process carries, so two
    // templates made in the same millisecond still differ.
    TBadMailReply();
    // A detached copy: same Name, ID, Subject and Body, no owner.
    TBadMailReply(const TBadMailReply& other);
    TBadMailReply& operator=(const TBadMailReply&) = delete;

    // A label kept from the stored file; no dialog sets it.
    std::string Name;
    // The identity the accounts refer to (compared exactly).
    std::string ID;
    // The message text, one string per line, without line ends.
    std::vector<std::string> Body;

    const std::string& Subject() const { return subject_; }
    // Sets the owner's Modified flag when the subject really changes.
    void SetSubject(const std::string& subject);

    // The list holding this template, or null.
    TBadMailReplies* Owner() const { return owner_; }

    // The Body joined with CR LF after every line (the stored and sent form).
    std::string BodyText() const;
    // Splits `text` into Body lines: CR LF, LF or CR end a line; a final line
    // break adds no empty line.
    void SetBodyText(const std::string& text);

private:
    friend class TBadMailReplies;
    std::string subject_;
    TBadMailReplies* owner_ = nullptr;
};

// Count, Item, Delete, Clear, Modified, SetModified, LoadFailed and Mutex
// come from TXMLItemList.
class TBadMailReplies : public TXMLItemList<TBadMailReply> {
public:
    TBadMailReplies() = default;

    // "badmailreplies.xml" in the data folder.
    static std::filesystem::path DefaultFileName();

    // Loads the list; an empty name means DefaultFileName(). When the ".dat"
    // file beside it exists it is read (up to its end, never past it), the
    // list is written as XML and the ".dat" is deleted; otherwise the XML file
    // is read; otherwise the list is empty. A file the XML layer cannot read
    // leaves the list empty and the file untouched, and sets LoadFailed: the
    // next save to that file first copies it to "badmailreplies.xml.bak", so
    // the templates in it can still be recovered. A text that is not valid
    // UTF-8 (the earlier 8-bit versions' Windows-1252) is converted to UTF-8
    // as it is read. Clears Modified.
    // Throws std::runtime_error when the converted XML cannot be written.
    void LoadFromFile(const std::filesystem::path& fileName = {});
    // Writes the XML file (atomic replacement) and clears Modified.
    // Throws std::runtime_error naming the file when it cannot be written.
    void SaveToFile(const std::filesystem::path& fileName = {});

    // Appends `reply`, takes ownership, sets its owner and Modified; returns it.
    // Throws std::invalid_argument for a null `reply`.
    TBadMailReply* Add(std::unique_ptr<TBadMailReply> reply);
    // The first template whose ID equals `id` exactly, or null.
    TBadMailReply* FindByID(const std::string& id) const;
    // A detached copy of FindByID(id), safe to use after the lock is released.
    std::optional<TBadMailReply> FindCopyByID(const std::string& id) const;

private:
    void ReadLegacy(const std::string& bytes);
    bool ReadXML(const std::filesystem::path& xmlFile);
};

// The process-wide template list (created on first use, never freed before exit).
TBadMailReplies& BadMailReplies();

} // namespace bm
