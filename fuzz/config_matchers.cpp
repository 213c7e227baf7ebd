// Feeds arbitrary bytes to the matchers that see text from received mail: the
// Friends-list wildcard rule and the filter rule operations (regular
// expressions included, under their match limits). The input is split at its
// first 0 byte into a pattern and a subject; neither may crash, loop or read
// out of bounds, and an address always matches its own lower-case form.
#include "config/addrlistU.h"
#include "config/filtersU.h"
#include "config/textcaseU.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t split = input.find('\0');
    const std::string pattern = input.substr(0, split);
    const std::string subject = split == std::string::npos ? "" : input.substr(split + 1);

    (void)bm::TAddressList::WildcardMatch(subject, pattern);
    (void)bm::TAddressList::CheckAddressForm(pattern);
    const std::string lowered = bm::LowerText(subject);
    if (!bm::TAddressList::HasWildcards(lowered) &&
        !bm::TAddressList::WildcardMatch(subject, lowered))
        std::abort();

    for (int op = 0; op < 5; ++op) {
        bm::TRule rule(bm::TRuleField::Subject, static_cast<bm::TRuleOperation>(op), pattern);
        try {
            (void)rule.MatchesText(subject);
        } catch (const bm::ERegExprError&) {
        }
    }
    return 0;
}
