#pragma once
// Pieces of the regf format shared by the reader, the writer and the tests that build logs by hand.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace hive::format {

constexpr std::size_t kBaseBlockSize = 4096;
constexpr std::size_t kBinHeaderSize = 32;
constexpr std::uint32_t kNowhere = 0xFFFFFFFF;
constexpr std::uint32_t kBigDataSegment = 16344;  // bytes in every db segment but the last
constexpr int kMaxDepth = 512;

inline std::uint16_t Get16(const std::uint8_t* p) { return std::uint16_t(p[0] | p[1] << 8); }
inline std::uint32_t Get32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline std::uint64_t Get64(const std::uint8_t* p) { return Get32(p) | std::uint64_t(Get32(p + 4)) << 32; }
inline void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
}
inline void Put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = std::uint8_t(v >> 8 * i);
}
inline void Put64(std::uint8_t* p, std::uint64_t v) {
    Put32(p, std::uint32_t(v));
    Put32(p + 4, std::uint32_t(v >> 32));
}

// XOR of the 127 dwords before offset 508, with the two values Windows never stores replaced.
inline std::uint32_t BaseBlockChecksum(const std::uint8_t* base) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 508; i += 4) sum ^= Get32(base + i);
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    if (sum == 0) return 1;
    return sum;
}

// The hash of log entries: Marvin32 with the seed Windows uses for them.
std::uint64_t Marvin32(std::span<const std::uint8_t> bytes, std::uint64_t seed = 0x82EF4D887A4E55C5ull);

// Windows' upper case of one UTF-16 unit, as it compares and hashes key names.
char16_t Upcase(char16_t unit);

}  // namespace hive::format
