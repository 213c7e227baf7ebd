#pragma once
// Files and folders only their owner may read: the data folder holds the
// quarantine (senders, subjects, keys), the trace and the mail itself, so
// nothing in it is left to the umask.

#include <filesystem>

namespace bm {

// Mode of every folder the program creates under its data folder.
inline constexpr unsigned kPrivateFolderMode = 0700;
// Mode of every file the program writes there.
inline constexpr unsigned kPrivateFileMode = 0600;

// Creates folder and its missing parents with mode 0700 whatever the umask;
// folders that exist already are left as they are. False with ec set when
// one cannot be created. Any thread.
bool CreatePrivateFolders(const std::filesystem::path& folder, std::error_code& ec);

// Takes the group and other permissions from folder, its sub-folders and
// their files (folders become 0700, files keep at most 0600).
// Symbolic links are neither followed nor changed. Best effort: an entry
// that cannot be changed is skipped; returns how many were skipped. Any thread.
int TightenPrivateTree(const std::filesystem::path& folder);

// Takes the group and other permissions from one file or folder (no link
// followed); false when it cannot be changed. A missing path counts as done.
bool TightenPrivatePath(const std::filesystem::path& path);

} // namespace bm
