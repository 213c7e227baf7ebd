#pragma once
// Atomic replacement of a whole file: the rule for every file the program writes.

#include <filesystem>
#include <stdexcept>
#include <string>

namespace bm {

class EAtomicWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes bytes to a temporary file in the folder of file, flushes it to disk
// (fsync), renames it over file and syncs the folder, so a reader sees the
// old or the new content whole, never a mix, even after a crash. The folder
// is created (0700) when missing. A new file gets mode 0600; a replaced file
// keeps its mode (a file of another program, Eudora.ini, stays as its user
// set it; the data folder's own files are tightened at start-up). On failure the temporary is removed, file is untouched, and
// EAtomicWriteError is thrown with the file name and the system's reason.
// Any thread; concurrent writers of one file must serialise themselves.
void WriteFileAtomic(const std::filesystem::path& file, const std::string& bytes);

// As WriteFileAtomic but without its two fsyncs: the file is still replaced
// whole by a rename, so a crash of the program leaves the old or the new
// content, but it is durable against a power cut only after a later fsync of
// the file and of its folder. For writers that make many files durable at
// one barrier.
void WriteFileAtomicUnsynced(const std::filesystem::path& file, const std::string& bytes);

// Makes a rename in or out of folder durable: a rename is on disk only once
// the folder's entry is. Best effort: a folder that cannot be opened is
// skipped. Any thread.
void SyncFolder(const std::filesystem::path& folder);

// Reads a whole file; false when it cannot be opened or read.
bool ReadWholeFile(const std::filesystem::path& file, std::string& bytes);

} // namespace bm
