#pragma once
// Facts about the running program and its user that the Windows shell and
// system calls gave: the program file, the user and host names, and the XDG
// folders that stand in for the shell folders.
//
// Every function may be called from any thread and reads the environment
// anew at each call (no caching), so tests can move the folders.

#include <filesystem>
#include <string>

namespace bm {

// The program file (/proc/self/exe resolved); empty when it cannot be read.
std::filesystem::path GetProgramFile();
// The folder that holds the program file.
std::filesystem::path GetProgramFolder();

// The login name of the current user: $USER's account from the password
// database for the real uid, else $USER, else the uid in decimal.
std::string GetUserName();
// The host name (gethostname); empty when unavailable.
std::string GetHostName();

// $HOME, else the home folder of the password database.
std::filesystem::path GetHomeFolder();
// $XDG_DATA_HOME when set and absolute, else ~/.local/share.
std::filesystem::path GetXdgDataHome();
// $XDG_CONFIG_HOME when set and absolute, else ~/.config.
std::filesystem::path GetXdgConfigHome();
// The user's documents folder: $XDG_DOCUMENTS_DIR when set and absolute;
// else XDG_DOCUMENTS_DIR of $XDG_CONFIG_HOME/user-dirs.dirs ("$HOME/..." or an
// absolute path in double quotes, as xdg-user-dirs writes it); else ~/Documents.
// The folder is not created.
std::filesystem::path GetXdgDocumentsFolder();

// The per-user folder for locks and sockets: $XDG_RUNTIME_DIR when set and an
// existing folder, else /tmp/brixmoor-<uid>, created with mode 0700 when
// missing. Throws std::runtime_error when the fallback exists but is not a
// folder of this user with no access for others (someone else planted it).
std::filesystem::path GetRuntimeFolder();

} // namespace bm
