#pragma once
// Letter-case folding shared by the configuration lists: addresses, filter
// texts and names are compared "without regard to letter case" in the sense
// of the user's locale, on UTF-8 text.

#include <string>
#include <string_view>

namespace bm {

// The text in lower case. ASCII text is folded byte by byte; other valid
// UTF-8 through Unicode's lower-case mapping (the result may differ in byte
// length); text that is not valid UTF-8 has only its ASCII letters folded, so
// no byte is ever lost. Any thread.
std::string LowerText(std::string_view text);

// True when a and b are equal after LowerText.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);

} // namespace bm
