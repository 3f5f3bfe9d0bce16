// The ANSI text conversions: every Windows-1252 byte string survives the trip through text (and
// through UTF-16, as a version 5 .reg file carries it); any text converts to bytes that convert back
// to themselves; UTF-16 units survive the store's text form; case folding is stable.
#include "text.h"
#include "utf16.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "text_fuzzer: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::string text = AnsiToText(bytes);
    Check(TextToAnsi(text) == bytes, "ANSI bytes -> text -> ANSI bytes changed them");
    bool ok = false;
    Check(Utf16LeToText(TextToUtf16Le(text), ok) == text && ok, "ANSI text -> UTF-16 -> text changed it");

    // The same bytes read as text (UTF-8, maybe malformed).
    const std::string ansi = TextToAnsi(bytes);
    Check(TextToAnsi(AnsiToText(ansi)) == ansi, "text -> ANSI is not stable on a second trip");
    // The same bytes read as UTF-16 units, as the registry keeps names: every unit survives the
    // store's UTF-8 form, and the ANSI side gets one byte for each.
    const std::u16string units = UnitsFromBytes(bytes);
    Check(Wtf8ToUtf16(Utf16ToWtf8(units)) == units, "UTF-16 units -> store text -> units changed them");
    Check(Wtf8ToUtf16Le(Utf16ToWtf8(units)) == bytes.substr(0, units.size() * 2), "store text -> UTF-16LE differs");
    Check(Utf16ToAnsi(units).size() == units.size(), "an ANSI conversion not one byte a unit");

    const std::string folded = FoldCase(bytes);
    Check(FoldCase(folded) == folded, "folding case twice differs from folding once");
    (void)UCase(bytes);
    return 0;
}
