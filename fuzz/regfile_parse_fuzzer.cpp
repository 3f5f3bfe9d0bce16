// The .reg reader on any bytes: both dialects, every encoding. It either reads the file or stops with
// a ParseError at a place in it; what it reads holds only names the registry keeps as written;
// and the same file with LF line ends instead of CRLF reads the same.
#include "reg_file.h"
#include "text.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "regfile_parse_fuzzer: %s\n", what);
        std::abort();
    }
}

struct Outcome {
    std::optional<regfile::RegFile> file;
    regfile::Position where;
};

Outcome Read(std::string_view bytes) {
    try {
        return {regfile::Parse(bytes), {}};
    } catch (const regfile::ParseError& e) {
        Check(e.where.line >= 1 && e.where.column >= 1, "a fault placed before the start of the file");
        return {std::nullopt, e.where};
    }
}

bool SameEntries(const regfile::RegFile& a, const regfile::RegFile& b) {
    if (a.dialect != b.dialect || a.keys.size() != b.keys.size()) return false;
    for (size_t i = 0; i < a.keys.size(); ++i) {
        const auto &x = a.keys[i], &y = b.keys[i];
        if (x.root != y.root || x.path != y.path || x.removeTree != y.removeTree || x.where != y.where ||
            x.values.size() != y.values.size())
            return false;
        for (size_t j = 0; j < x.values.size(); ++j) {
            const auto &v = x.values[j], &w = y.values[j];
            if (v.name != w.name || v.remove != w.remove || v.type != w.type || v.data != w.data || v.where != w.where)
                return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const Outcome first = Read(bytes);
    if (first.file) {
        for (const auto& key : first.file->keys) {
            Check(key.root != nullptr, "a key without a root");
            Check(regfile::KeyPathFault(key.path, first.file->dialect == regfile::Dialect::Regedit4).empty(),
                  "a key path the registry would refuse");
            Check(key.path.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos,
                  "a key name with NUL or a line break");
            // The key's name as a message or an export writes it reads back as the same key.
            const std::string& text = key.path;
            const auto again =
                regfile::ParseKeyName(std::string(regfile::RootName(key.root)) + (text.empty() ? "" : "\\" + text));
            Check(again && again->root == key.root && again->path == text, "a key name that does not read back");
            for (const auto& value : key.values) {
                Check(regfile::Utf16Length(value.name) <= regfile::kMaxValueName,
                      "a value name longer than the registry takes");
                Check(value.name.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos,
                      "a value name with NUL or a line break");
            }
        }
    }
    // LF for CRLF: the same entries at the same places, or the same fault. UTF-16 files are left
    // alone, their line ends being two bytes each.
    if (size >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') return 0;
    std::string lf;
    lf.reserve(size);
    for (size_t i = 0; i < size; ++i)
        if (!(bytes[i] == '\r' && i + 1 < size && bytes[i + 1] == '\n')) lf += bytes[i];
    if (lf.size() == size) return 0;
    const Outcome second = Read(lf);
    Check(first.file.has_value() == second.file.has_value(), "CRLF and LF files differ in being read");
    if (first.file) Check(SameEntries(*first.file, *second.file), "CRLF and LF files read differently");
    else Check(first.where == second.where, "CRLF and LF files fail at different places");
    return 0;
}
