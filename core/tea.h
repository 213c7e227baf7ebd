#pragma once
// TEA block cipher (Wheeler and Needham), 32 cycles, delta 0x9E3779B9, applied in
// electronic code book mode to 8-byte blocks. Each block is two unsigned 32-bit
// words, each from four bytes in little-endian order, first word first.
// Pure functions: safe to call from any thread.

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace bm {

using TTeaKey = std::array<std::uint32_t, 4>;

// Raised for a buffer length that is not a multiple of 8 bytes; its message is
// "Illegal buffer size, must be even 64bits".
class ETeaBufferSize : public std::runtime_error {
public:
    ETeaBufferSize();
};

// Enciphers `size` bytes at `data` in place, block by block.
// Throws ETeaBufferSize when size is not a multiple of 8 (nothing is changed).
void TeaEncipher(std::uint8_t* data, std::size_t size, const TTeaKey& key);
// Deciphers `size` bytes at `data` in place; same contract as TeaEncipher.
void TeaDecipher(std::uint8_t* data, std::size_t size, const TTeaKey& key);

// One block: (y, z) enciphered / deciphered in place.
void TeaEncipherBlock(std::uint32_t& y, std::uint32_t& z, const TTeaKey& key);
void TeaDecipherBlock(std::uint32_t& y, std::uint32_t& z, const TTeaKey& key);

} // namespace bm
