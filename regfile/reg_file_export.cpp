// Writing a key with everything under it as a .reg file of either dialect, read from the store in
// one snapshot; what a file cannot hold so that it reads back is refused. With the reads of the
// store's keys and values it needs, in the registry's order.
#include "reg_file_parts.h"

#include "hex.h"
#include "registry_store.h"
#include "text.h"
#include "utf16.h"

#include <algorithm>
#include <cstring>

namespace regfile {

using detail::AmbiguousKeyEnd;
using detail::kHeader4;
using detail::kHeader5;
using detail::kNotInNames;
using detail::Wide;

namespace {

// Room for the longest name the registry holds and for data as long as any read so far, kept from
// one key to the next: asking each key for its longest first (RegQueryInfoKeyW) costs about what
// reading it does.
struct ReadRoom {
    std::u16string name = std::u16string(kMaxValueName + 1, u'\0');
    std::string data = std::string(1 << 16, '\0');
};
ReadRoom& Room() {
    static thread_local ReadRoom room;
    return room;
}

}  // namespace

LONG ReadValues(HKEY key, std::vector<StoredValue>& out) {
    out.clear();
    ReadRoom& room = Room();
    for (DWORD i = 0;;) {
        DWORD cchName = static_cast<DWORD>(room.name.size()), cbData = static_cast<DWORD>(room.data.size()), type = 0;
        const LONG rc = RegEnumValueW(key, i, room.name.data(), &cchName, nullptr, &type,
                                      reinterpret_cast<BYTE*>(room.data.data()), &cbData);
        if (rc == ERROR_MORE_DATA && cbData > room.data.size()) {
            room.data.resize(cbData);  // and the same value again
            continue;
        }
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.push_back({Utf16ToWtf8(std::u16string_view(room.name.data(), cchName)), type, room.data.substr(0, cbData)});
        ++i;
    }
}

LONG ReadSubKeyNames(HKEY key, std::vector<std::string>& out) {
    out.clear();
    char16_t name[kMaxKeyNamePart + 1];
    for (DWORD i = 0;; ++i) {
        DWORD cch = kMaxKeyNamePart + 1;
        const LONG rc = RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (rc != ERROR_SUCCESS) return rc;
        out.push_back(Utf16ToWtf8(std::u16string_view(name, cch)));
    }
}

LONG OpenPath(HKEY parent, std::string_view path, REGSAM access, HKEY& out) {
    return RegOpenKeyExW(parent, Wide(path).c_str(), 0, access, &out);
}

namespace {

std::string Hex2(unsigned char b) {
    return {HexDigit(b >> 4), HexDigit(b)};
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + '"';
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// Whether text survives a trip through Windows-1252, as a REGEDIT4 file carries it.
bool FitsCodePage(std::u16string_view units) {
    return AnsiToUtf16(Utf16ToAnsi(units)) == units;
}

// UTF-16 string data that the quoted form gives back exactly: one closing NUL, no other, on one
// line, every unit a character.
bool PlainString(std::string_view data) {
    if (data.size() % 2 != 0) return false;
    std::u16string units = UnitsFromBytes(data);
    if (units.empty() || units.back() != u'\0') return false;
    units.pop_back();
    if (units.find_first_of(std::u16string_view(u"\0\r\n", 3)) != std::u16string::npos) return false;
    for (size_t i = 0; i < units.size(); ++i) {  // no lone surrogate
        const bool high = units[i] >= 0xD800 && units[i] < 0xDC00, low = units[i] >= 0xDC00 && units[i] < 0xE000;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) ++i;
        else if (high || low) return false;
    }
    return true;
}

// `prefix` followed by the bytes, wrapped before 80 columns as regedit does.
std::string HexLine(std::string prefix, std::string_view bytes) {
    std::string out = std::move(prefix);
    size_t width = out.size();
    const size_t start = out.size();
    // Three characters a byte, and a break of five (backslash, CR, LF, two spaces) at most every 24.
    out.resize(start + bytes.size() * 3 + (bytes.size() / 24 + 2) * 5);
    char* at = out.data() + start;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const bool last = i + 1 == bytes.size();
        const size_t item = last ? 2 : 3;
        if (width + item > 77) {
            for (const char c : {'\\', '\r', '\n', ' ', ' '}) *at++ = c;
            width = 2;
        }
        const auto b = static_cast<unsigned char>(bytes[i]);
        *at++ = HexDigit(b >> 4);
        *at++ = HexDigit(b);
        if (!last) *at++ = ',';
        width += item;
    }
    out.resize(static_cast<size_t>(at - out.data()));
    return out;
}

// A value's line as text; a REGEDIT4 file's string data in the code page (checked to fit before).
std::string ValueLineText(const StoredValue& v, Dialect dialect) {
    std::string line = v.name.empty() ? "@=" : Quote(v.name) + "=";
    if (v.type == REG_SZ && PlainString(v.data))
        return line + Quote(Utf16ToWtf8(UnitsFromBytes(v.data.substr(0, v.data.size() - 2))));
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = 0;
        std::memcpy(&d, v.data.data(), 4);
        std::string hex;
        for (int shift = 24; shift >= 0; shift -= 8) hex += Hex2(static_cast<unsigned char>(d >> shift));
        return line + "dword:" + hex;
    }
    if (v.type == REG_BINARY) return HexLine(line + "hex:", v.data);
    std::string typeHex;
    for (DWORD t = v.type; t != 0 || typeHex.empty(); t >>= 4) typeHex.insert(typeHex.begin(), HexDigit(t));
    const bool ansi = dialect == Dialect::Regedit4 && IsStringType(v.type);
    return HexLine(line + "hex(" + typeHex + "):", ansi ? Utf16ToAnsi(UnitsFromBytes(v.data)) : v.data);
}

class OpenedKey {
public:
    OpenedKey(HKEY parent, std::string_view path) {
        rc_ = OpenPath(parent, path, KEY_READ, h_);
        if (rc_ != ERROR_SUCCESS) h_ = nullptr;
    }
    ~OpenedKey() {
        if (h_ != nullptr) RegCloseKey(h_);
    }
    OpenedKey(const OpenedKey&) = delete;
    OpenedKey& operator=(const OpenedKey&) = delete;
    LONG Status() const { return rc_; }
    HKEY Get() const { return h_; }

private:
    HKEY h_ = nullptr;
    LONG rc_;
};

// Each step of `path` in the spelling the registry keeps.
LONG StoredSpelling(HKEY root, const std::string& path, std::string& out) {
    out.clear();
    std::string sofar;
    size_t start = 0;
    while (start < path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        const std::string part = FoldCase(path.substr(start, end - start));
        const OpenedKey parent(root, sofar);
        if (parent.Status() != ERROR_SUCCESS) return parent.Status();
        std::vector<std::string> names;
        if (const LONG rc = ReadSubKeyNames(parent.Get(), names); rc != ERROR_SUCCESS) return rc;
        const auto match =
            std::find_if(names.begin(), names.end(), [&](const std::string& n) { return FoldCase(n) == part; });
        if (match == names.end()) return ERROR_FILE_NOT_FOUND;
        sofar += (sofar.empty() ? "" : "\\") + *match;
        start = end + 1;
    }
    out = sofar;
    return ERROR_SUCCESS;
}

// A name for a message, its line breaks shown as \r and \n.
std::string Shown(std::string_view text) {
    std::string out;
    for (char c : text) out += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
    return out;
}

// Why a REGEDIT4 file cannot hold this value, or "".
std::string Regedit4Fault(const StoredValue& v) {
    if (!FitsCodePage(Wide(v.name))) return "a name with characters that Windows-1252 lacks";
    if (!IsStringType(v.type)) return {};
    if (v.data.size() % 2 != 0) return "string data that is not whole UTF-16";
    if (!FitsCodePage(UnitsFromBytes(v.data))) return "text with characters that Windows-1252 lacks";
    return {};
}

// The file's text (UTF-8) gathered a few keys at a time and handed on in the file's encoding.
class Output {
public:
    Output(const ExportSink& sink, Dialect dialect) : sink_(sink), dialect_(dialect) {}
    std::string text;
    // Hands the text on once there is a piece's worth of it (UTF-16 takes about twice the bytes), or
    // `all` of it; false when the sink took none.
    bool Pass(bool all) {
        if (!all && text.size() < (dialect_ == Dialect::Version5 ? kExportPiece / 2 : kExportPiece)) return true;
        // Every name and text of a REGEDIT4 file was checked to fit the code page.
        piece_ = dialect_ == Dialect::Version5 ? Wtf8ToUtf16Le(text) : TextToAnsi(text);
        if (first_ && dialect_ == Dialect::Version5) piece_.insert(0, "\xFF\xFE");
        first_ = false;
        text.clear();
        return piece_.empty() || sink_(piece_);
    }

private:
    const ExportSink& sink_;
    Dialect dialect_;
    std::string piece_;
    bool first_ = true;
};

// Writes `key` (named `name` in full) and everything below it; each subkey is opened from its
// parent's handle, so that no depth of path is too long.
LONG ExportTree(HKEY key, const std::string& name, size_t rootLength, Dialect dialect, Output& out,
                std::string& refusal) {
    std::string& text = out.text;
    // What a file cannot hold is refused rather than written in a form that would not import back.
    const std::string_view path = std::string_view(name).substr(rootLength);
    if (path.find_first_of(kNotInNames) != std::string_view::npos) {
        refusal = "key " + Shown(name) + ": a line break inside a name; no .reg file can hold it";
        return kUnwritableName;
    }
    if (AmbiguousKeyEnd(path) != std::string_view::npos) {
        refusal = "key " + name + ": a name holding ']' and then ';' reads back as a comment in a .reg file";
        return kUnwritableName;
    }
    if (dialect == Dialect::Regedit4 && !FitsCodePage(Wide(name))) {
        refusal = "key " + name +
                  ": a name with characters that Windows-1252 lacks; a REGEDIT4 file cannot "
                  "hold it (a version 5.00 file can)";
        return kUnwritableName;
    }
    text += "[" + name + "]\r\n";
    std::vector<StoredValue> values;
    if (const LONG rc = ReadValues(key, values); rc != ERROR_SUCCESS) return rc;
    for (const auto& v : values) {
        if (v.name.find_first_of(kNotInNames) != std::string::npos) {
            refusal = "key " + name + ", value \"" + Shown(v.name) +
                      "\": a line break inside a name; no .reg file can hold it";
            return kUnwritableName;
        }
        if (dialect == Dialect::Regedit4)
            if (const std::string fault = Regedit4Fault(v); !fault.empty()) {
                refusal = "key " + name + ", value \"" + v.name + "\": " + fault +
                          "; a REGEDIT4 file cannot hold it (a version 5.00 file can)";
                return kUnwritableName;
            }
        text += ValueLineText(v, dialect) + "\r\n";
    }
    text += "\r\n";
    if (!out.Pass(false)) return kSinkFailed;
    std::vector<std::string> children;
    if (const LONG rc = ReadSubKeyNames(key, children); rc != ERROR_SUCCESS) return rc;
    for (const auto& child : children) {
        const OpenedKey sub(key, child);
        if (sub.Status() != ERROR_SUCCESS) return sub.Status();
        // Appended in two steps: `"\\" + text` trips a false -Wrestrict in GCC 12 at -O3.
        std::string childName = name;
        childName.append(1, '\\').append(child);
        if (const LONG rc = ExportTree(sub.Get(), childName, rootLength, dialect, out, refusal); rc != ERROR_SUCCESS)
            return rc;
    }
    return ERROR_SUCCESS;
}

LONG ExportNow(const KeyName& key, const ExportSink& sink, std::string* refusal, Dialect dialect) {
    std::string path;
    if (const LONG rc = StoredSpelling(key.root, key.path, path); rc != ERROR_SUCCESS) return rc;
    const OpenedKey top(key.root, path);
    if (top.Status() != ERROR_SUCCESS) return top.Status();
    std::string name(RootName(key.root));
    const size_t rootLength = name.size();
    if (!path.empty()) name.append(1, '\\').append(path);
    Output out(sink, dialect);
    out.text = std::string(dialect == Dialect::Version5 ? kHeader5 : kHeader4) + "\r\n\r\n";
    std::string why;
    LONG rc = ExportTree(top.Get(), name, rootLength, dialect, out, why);
    if (rc == ERROR_SUCCESS && !out.Pass(true)) rc = kSinkFailed;
    if (rc != ERROR_SUCCESS && refusal != nullptr) *refusal = why;
    return rc;
}

}  // namespace

LONG Export(const KeyName& key, const ExportSink& sink, std::string* refusal, Dialect dialect) {
    // The key as it stands at one moment, however long the file takes to write, read in one
    // transaction.
    return RunInStoreSnapshot(key.root, [&] { return ExportNow(key, sink, refusal, dialect); });
}

LONG Export(const KeyName& key, std::string& out, std::string* refusal, Dialect dialect) {
    std::string whole;
    const LONG rc = Export(
        key, [&](std::string_view piece) { return whole.append(piece), true; }, refusal, dialect);
    if (rc == ERROR_SUCCESS) out = std::move(whole);
    return rc;
}

}  // namespace regfile
