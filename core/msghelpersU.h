#pragma once
// What the rest of the system reads out of a mail message: its readable
// text, its sender addresses (and the sender key built from them) and its
// attachment names. Every function may be called from any thread, on a
// message that no other thread uses at the time.

#include "core/mailmsgU.h"

#include <string>
#include <vector>

namespace bm {

// The readable text: walks Parts in order and considers each part whose
// ContentType is exactly "text/html" or "text/plain"; a text part offers its
// Lines, an attachment part with an empty FileName its Content read as lines
// (split at CR LF, LF or CR). The last part considered wins. When no part
// qualifies, a copy of Body.
std::vector<std::string> GetMessageText(const TMailMessage& message);

// The Address of every FromList item, of Sender and of every ReplyTo item,
// in a list sorted without regard to ASCII letter case; a duplicate (ignoring
// case) keeps the spelling added first; empty addresses are never added.
std::vector<std::string> GetSenderAddresses(const TMailMessage& message);

// The sender addresses, each followed by one space (so a non-empty key ends
// in a space): the FromList / FromMD5 value of the quarantine tables.
std::string GetSenderKey(const TMailMessage& message);

// In part order, the FileName of every attachment part whose FileName is not
// empty.
std::vector<std::string> GetAttachmentNames(const TMailMessage& message);

} // namespace bm
