#pragma once
// A number as messages show offsets, signatures and tags: "0x1F4", or with `digits` "0x000001F4".
#include <cstdint>
#include <string>

std::string Hex(std::uint64_t value, int digits = 0);
