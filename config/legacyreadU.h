#pragma once
// Reading the older binary configuration files (the ".dat" predecessors of
// the options, accounts.ini, whitelist.txt, blacklist.txt, filters.xml and
// badmailreplies.xml), which are converted once and deleted.

#include "core/streamU.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace bm {

// The older file beside `file`: the same name with the extension ".dat".
std::filesystem::path LegacyFileName(const std::filesystem::path& file);

// A zero-terminated string of a record. The stream reader lets the end of the
// data end a string quietly; inside a record that means the file was cut, so
// here it throws TStreamError and the loader keeps only the records read whole.
// `bytes` is the data the reader walks.
std::string ReadRecordString(TByteReader& reader, std::string_view bytes);

} // namespace bm
