#include "code_page.h"

#include "byte_order.h"
#include "win9x.h"

#include <cerrno>
#include <stdexcept>

namespace win9x {
namespace {

struct KnownPage {
    const char* iconvName;
    unsigned number;
    bool singleByte;
};
constexpr KnownPage kKnownPages[] = {
    {"CP874", 874, true},   {"CP932", 932, false},  {"CP936", 936, false},  {"CP949", 949, false},
    {"CP950", 950, false},  {"CP1250", 1250, true}, {"CP1251", 1251, true}, {"CP1252", 1252, true},
    {"CP1253", 1253, true}, {"CP1254", 1254, true}, {"CP1255", 1255, true}, {"CP1256", 1256, true},
    {"CP1257", 1257, true}, {"CP1258", 1258, true},
};

const KnownPage* Find(unsigned number) {
    for (const auto& p : kKnownPages)
        if (p.number == number) return &p;
    return nullptr;
}

}  // namespace

bool KnownCodePage(unsigned codePage) {
    return Find(codePage) != nullptr;
}

const char* KnownCodePages() {
    return "874, 932, 936, 949, 950 and 1250 to 1258";
}

CodePageText::CodePageText(unsigned codePage) {
    const KnownPage* page = Find(codePage);
    if (page == nullptr)
        throw std::invalid_argument("code page " + std::to_string(codePage) + " is not one Windows 9x used");
    cd_ = iconv_open("UTF-16LE", page->iconvName);
    if (cd_ == reinterpret_cast<iconv_t>(-1))
        throw std::runtime_error(std::string("iconv cannot read code page ") + page->iconvName);
    singleByte_ = page->singleByte;
}

CodePageText::~CodePageText() {
    iconv_close(cd_);
}

bool CodePageText::ToUtf16(std::string_view bytes, std::u16string& out, std::size_t& at) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    const std::size_t total = bytes.size();
    while (!bytes.empty()) {
        char buffer[512];
        char* src = const_cast<char*>(bytes.data());
        std::size_t srcLeft = bytes.size();
        char* dst = buffer;
        std::size_t dstLeft = sizeof buffer;
        const std::size_t rc = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
        const auto* units = reinterpret_cast<const unsigned char*>(buffer);
        for (std::size_t i = 0; i + 1 < static_cast<std::size_t>(dst - buffer); i += 2)
            out += static_cast<char16_t>(ReadLe16(units + i));
        bytes.remove_prefix(bytes.size() - srcLeft);
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
        const auto lead = static_cast<unsigned char>(bytes[0]);
        // A byte a single-byte code page leaves undefined among 0x80-0x9F reads as the C1 control of
        // the same value, as Windows reads it (0x81 in 1252); anything else is no text.
        if (singleByte_ && lead >= 0x80 && lead < 0xA0) {
            out += static_cast<char16_t>(lead);
            bytes.remove_prefix(1);
            iconv(cd_, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        at = total - bytes.size();
        return false;
    }
    return true;
}

}  // namespace win9x
