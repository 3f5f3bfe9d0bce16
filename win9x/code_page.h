#pragma once
// Code-page bytes of a Windows 9x registry as UTF-16, through glibc's iconv.
#include <iconv.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace win9x {

class CodePageText {
public:
    explicit CodePageText(unsigned codePage);  // a code page KnownCodePage accepts
    ~CodePageText();
    CodePageText(const CodePageText&) = delete;
    CodePageText& operator=(const CodePageText&) = delete;

    // Appends the text of `bytes` to `out`; false when they are no text in the code page, with `at`
    // the offset of the first byte that is none.
    bool ToUtf16(std::string_view bytes, std::u16string& out, std::size_t& at);

private:
    iconv_t cd_;
    bool singleByte_;
};

}  // namespace win9x
