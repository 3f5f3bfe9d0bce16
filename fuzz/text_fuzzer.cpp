// The ANSI text conversions: every Windows-1252 byte string survives the trip through text (and
// through UTF-16, as a version 5 .reg file carries it); any text converts to bytes that convert back
// to themselves; case folding is stable.
#include "text.h"
#include "utf16.h"

#include <cstdint>
#include <cstdlib>
#include <cstdio>
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
    const std::string folded = FoldCase(bytes);
    Check(FoldCase(folded) == folded, "folding case twice differs from folding once");
    (void)UCase(bytes);
    return 0;
}
