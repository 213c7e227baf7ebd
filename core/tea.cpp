#include "core/tea.h"

namespace bm {

namespace {

constexpr std::uint32_t Delta = 0x9E3779B9u;
constexpr int Cycles = 32;

std::uint32_t LoadLE(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

void StoreLE(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

template <typename BlockFn>
void ForEachBlock(std::uint8_t* data, std::size_t size, const TTeaKey& key, BlockFn fn)
{
    if (size % 8 != 0)
        throw ETeaBufferSize();
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint32_t y = LoadLE(data + i);
        std::uint32_t z = LoadLE(data + i + 4);
        fn(y, z, key);
        StoreLE(data + i, y);
        StoreLE(data + i + 4, z);
    }
}

} // namespace

ETeaBufferSize::ETeaBufferSize() : std::runtime_error("Illegal buffer size, must be even 64bits") {}

void TeaEncipherBlock(std::uint32_t& y, std::uint32_t& z, const TTeaKey& k)
{
    std::uint32_t sum = 0;
    for (int i = 0; i < Cycles; ++i) {
        sum += Delta;
        y += ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        z += ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
    }
}

void TeaDecipherBlock(std::uint32_t& y, std::uint32_t& z, const TTeaKey& k)
{
    std::uint32_t sum = Delta * Cycles; // 0xC6EF3720
    for (int i = 0; i < Cycles; ++i) {
        z -= ((y << 4) + k[2]) ^ (y + sum) ^ ((y >> 5) + k[3]);
        y -= ((z << 4) + k[0]) ^ (z + sum) ^ ((z >> 5) + k[1]);
        sum -= Delta;
    }
}

void TeaEncipher(std::uint8_t* data, std::size_t size, const TTeaKey& key)
{
    ForEachBlock(data, size, key, TeaEncipherBlock);
}

void TeaDecipher(std::uint8_t* data, std::size_t size, const TTeaKey& key)
{
    ForEachBlock(data, size, key, TeaDecipherBlock);
}

} // namespace bm
