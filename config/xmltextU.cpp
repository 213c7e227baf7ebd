#include "config/xmltextU.h"

#include "core/myxml.h"

namespace bm {

std::string XMLShortText(const std::string& text) {
    for (unsigned char c : text)
        if (c == '<' || c >= 0x80)
            return TMyXML::CData(text);
    return text;
}

} // namespace bm
