#pragma once
// How the configuration files write a short text (a name, an ID, a subject)
// into an XML element.
//
// These texts are written unwrapped, so the reader's character filter applies
// to them (a TAB is dropped, as it always was). Two kinds of text would be
// damaged beyond that: a "<" makes the reader take the rest for a tag, which
// fails the whole file, and the reader keeps only some bytes of a multi-byte
// UTF-8 sequence, which leaves invalid text. Such texts alone are wrapped in
// CDATA, which every reader of these files unwraps.

#include <string>

namespace bm {

// `text` as it goes into the element: unchanged, or CDATA-wrapped when it
// holds "<" or a byte of 128 or above. Any thread.
std::string XMLShortText(const std::string& text);

} // namespace bm
