#pragma once
// Integers as file formats lay them out, named once for every reader: little-endian (hives, NTFS,
// partition tables, VMDK, the image reader's frames) and big-endian (QCOW, SQLite's file header).
// The caller has checked that the bytes are there.
#include <cstddef>
#include <cstdint>

inline std::uint16_t ReadLe16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
inline std::uint32_t ReadLe32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}
inline std::uint64_t ReadLe64(const std::uint8_t* p) {
    return ReadLe32(p) | std::uint64_t(ReadLe32(p + 4)) << 32;
}
// The first `bytes` (at most 8) as one little-endian number: NTFS's data runs, the frames' fields.
inline std::uint64_t ReadLe(const std::uint8_t* p, std::size_t bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = bytes; i-- > 0;) v = v << 8 | p[i];
    return v;
}

inline std::uint32_t ReadBe32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}
inline std::uint64_t ReadBe64(const std::uint8_t* p) {
    return std::uint64_t(ReadBe32(p)) << 32 | ReadBe32(p + 4);
}

// The low `bytes` (at most 8) of `v` at `p`, little-endian.
inline void WriteLe(std::uint8_t* p, std::uint64_t v, std::size_t bytes) {
    for (std::size_t i = 0; i < bytes; ++i) p[i] = std::uint8_t(v >> 8 * i);
}
inline void WriteLe16(std::uint8_t* p, std::uint16_t v) {
    WriteLe(p, v, 2);
}
inline void WriteLe32(std::uint8_t* p, std::uint32_t v) {
    WriteLe(p, v, 4);
}
inline void WriteLe64(std::uint8_t* p, std::uint64_t v) {
    WriteLe(p, v, 8);
}
