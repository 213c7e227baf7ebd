#pragma once
// Free helpers that many parts call: the product's identity strings, the
// per-user data and documents folders, the lookup of Eudora's configuration
// file, MD5 digests in hexadecimal, size and elapsed-time texts, safe file
// names, a token splitter and a word wrapper.
// (The mail-message helpers GetMessageText, GetSenderAddresses, GetSenderKey
// and GetAttachmentNames live beside the mail message.)
//
// Every function may be called from any thread and keeps no state except the
// identity strings, which are compiled in.

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace bm {

// --- Identity --------------------------------------------------------------

// "Brixmoor", "2.5" and "2.50.0.1" (the build's product identity).
const std::string& GetProductName();
const std::string& GetProductVersion();
const std::string& GetFileVersion();
// Product name, one space, product version: "Brixmoor 2.5".
std::string GetProductTitle();
// Product name, one space, the product version up to and including its first
// ".", then "0": "Brixmoor 2.0". A version without a point gives "Brixmoor 0".
// The data folder is named by it.
std::string GetProductFolderName();
// The same rule over given strings (what GetProductFolderName applies).
std::string MakeProductFolderName(std::string_view name, std::string_view version);

// --- Folders ---------------------------------------------------------------

// The per-user data folder: the shell folder "Local AppData" of the registry
// stand-in ($XDG_DATA_HOME) / "Veldhaven" / GetProductFolderName(); when that
// value is empty or the key cannot be opened, the program folder followed
// directly by the user name. Computed anew on every call; the folder and its
// missing parents are created. A folder that cannot be created is not
// reported: the path is returned all the same and the first file operation in
// it fails.
std::filesystem::path GetDataFolder();
// The user's documents folder (the shell folder "Personal"); when the key
// cannot be opened, the root of the program folder's path.
std::filesystem::path GetDocumentsFolder();
// The full path of Eudora's "Eudora.ini" found through the current-user key
// "Software\Qualcomm\Eudora", or an empty path. Each of its subkeys starts a
// chain that descends while a key has exactly one subkey; the names passed
// spell an absolute folder path, one key per component from the root
// (Software\Qualcomm\Eudora\home\ann\Eudora is /home/ann/Eudora). The first
// chain whose folder holds "Eudora.ini" wins.
std::filesystem::path FindEudoraIni();

// --- Digests and texts -----------------------------------------------------

// MD5 (RFC 1321) of the bytes: 32 upper-case hexadecimal digits.
// Throws std::runtime_error when the crypto library refuses MD5 (a FIPS-only
// OpenSSL configuration).
std::string MD5Hex(std::string_view bytes);

// Size text: up to 1048576 bytes the count / 1024 as "%.2fkb", above it the
// count / 1048576 as "%.2fMb" (1048576 gives "1024.00kb"). The decimal
// separator is ".".
std::string FormatSize(std::int32_t bytes);

// "" for 1, "s" for every other value (0 included).
std::string PluralS(std::int64_t n);

// Elapsed phrase of a span in days, for "Mail was last checked " + phrase:
// "within the minute", "%d minute%s ago", "%d hour%s, %d minute%s ago" (up to
// 22 hours), "%d day%s, %d hour%s" (up to 30 days), "%d month%s, %d day%s".
// A negative span (a clock set back) reads "within the minute".
std::string FormatElapsed(double days);

// The text with each of \ / : * ? " < > | replaced by "_".
std::string MakeSafeFileName(std::string_view text);

// True when text is well-formed UTF-8 (no overlongs, no surrogates).
bool IsValidUtf8Text(std::string_view text);
// The text when it is valid UTF-8, else its bytes read as Windows-1252 (what
// the earlier 8-bit versions wrote) and converted to UTF-8. Any thread.
std::string TextToUtf8(std::string_view text);

// Clears tokens, then splits text at every byte that is in delimiters
// (delimiters are single bytes: pass ASCII). Empty tokens are kept only with
// keepEmpty. Returns the number of tokens added; 0 with an empty text or an
// empty delimiter set.
int ExtractTokens(std::string_view text, std::string_view delimiters, bool keepEmpty,
                  std::vector<std::string>& tokens);

// The first line and the rest of a word-wrapped text.
struct TWrappedText {
    std::string First;
    std::string Rest;
    bool operator==(const TWrappedText&) const = default;
};
// Breaks a text longer than margin (counted in characters, UTF-8 aware) at the
// last space run that ends at or before the margin, else (one long word) at
// the margin itself; never inside a UTF-8 sequence. Rest loses its leading
// spaces. A text no longer than margin is First whole; "" gives two "".
TWrappedText WordWrap(std::string_view text, int margin);

} // namespace bm
