// Feeds arbitrary stored values to the password decoder: it may only return or
// raise its std::runtime_error; a value it accepts must re-encode to a value that
// decodes to the same password.
#include "core/pwdcrypt.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string stored(reinterpret_cast<const char*>(data), size);
    std::string password;
    try {
        password = bm::DecryptPassword(stored);
    } catch (const std::runtime_error&) {
        return 0;
    }
    if (password.size() > bm::MaxPasswordLength)
        std::abort();
    if (bm::DecryptPassword(bm::EncryptPassword(password)) != password)
        std::abort();
    return 0;
}
