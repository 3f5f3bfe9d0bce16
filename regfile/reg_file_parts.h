#pragma once
// What the parts of the .reg file code share: the headers of both dialects and the rules of names
// that reading (reg_file_parse.cpp) and writing (reg_file_export.cpp) a file both keep, with the
// text the W functions take (reg_file_apply.cpp too). The names and limits are in reg_file_names.cpp.
#include "reg_file.h"

#include "wtf8.h"

#include <string>
#include <string_view>

namespace regfile::detail {

inline constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
inline constexpr std::string_view kHeader4 = "REGEDIT4";

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// Text as the registry's W functions take it.
inline std::u16string Wide(std::string_view text) {
    return Wtf8ToUtf16(text);
}

// Characters no name read from or written to a file may hold.
inline constexpr std::string_view kNotInNames("\0\r\n", 3);

// Where a key line's name would hold "]" followed by a comment: the offset of that ";", else npos.
size_t AmbiguousKeyEnd(std::string_view name);

}  // namespace regfile::detail
