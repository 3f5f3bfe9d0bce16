#pragma once
// Hex digits, and a number as messages show offsets, signatures and tags: "0x1F4", or with
// `digits` "0x000001F4".
#include <cstdint>
#include <string>

std::string Hex(std::uint64_t value, int digits = 0);

// The digit of the low four bits of `nibble`: in lower case, as .reg files write them, or upper.
constexpr char HexDigit(unsigned nibble, bool upper = false) {
    return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[nibble & 15];
}
// What a hex digit of either case stands for; -1 for any other character.
constexpr int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
