#pragma once
// Reading the older binary configuration files (the ".dat" predecessors of
// the options, accounts.ini, whitelist.txt, blacklist.txt, filters.xml and
// badmailreplies.xml), which are converted once and deleted.

#include "core/streamU.h"

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace bm {

// The older file beside `file`: the same name with the extension ".dat".
std::filesystem::path LegacyFileName(const std::filesystem::path& file);

// Walks the records of a ".dat" list file whose version the caller has read
// from `reader`: a label nobody reads and the record count, then readRecord
// once per record while the count lasts and data remains. A record cut short
// (TStreamError) ends the walk; the records read whole stay read.
void ReadLegacyRecords(TByteReader& reader, const std::function<void()>& readRecord);

// A zero-terminated string of a record. The stream reader lets the end of the
// data end a string quietly; inside a record that means the file was cut, so
// here it throws TStreamError and the loader keeps only the records read whole.
// `bytes` is the data the reader walks.
std::string ReadRecordString(TByteReader& reader, std::string_view bytes);

} // namespace bm
