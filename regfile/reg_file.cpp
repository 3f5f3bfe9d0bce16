#include "reg_file.h"

#include "utf16.h"

#include "registry_store.h"
#include "text.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace regfile {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

struct Root {
    HKEY key;
    std::string_view name;
    std::string_view shortName;
};

const std::array<Root, 5>& Roots() {
    static const std::array<Root, 5> roots{{
        {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
        {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
        {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
        {HKEY_USERS, "HKEY_USERS", "HKU"},
        {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
    }};
    return roots;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
               return up(x) == up(y);
           });
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Characters before byte `offset` of a UTF-8 line, plus one.
int ColumnAt(std::string_view line, size_t offset) {
    int column = 1;
    for (size_t i = 0; i < offset && i < line.size(); ++i)
        if ((static_cast<unsigned char>(line[i]) & 0xC0) != 0x80) ++column;
    return column;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        // "\r\r\n", as a CRLF file written once more in text mode ends its lines, is one line end too.
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// The file as lines of UTF-8 text, with its dialect; the header line is lines[0].
struct Decoded {
    Dialect dialect;
    std::vector<std::string> lines;
};

Decoded Decode(std::string_view bytes) {
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        // Every unit is kept, a lone surrogate too: the registry holds such names and strings.
        const std::string text = Utf16ToWtf8(UnitsFromBytes(bytes.substr(2)));
        Decoded d{Dialect::Version5, SplitLines(text)};
        if ((bytes.size() & 1) != 0)
            throw ParseError({static_cast<int>(d.lines.size()), ColumnAt(d.lines.back(), d.lines.back().size())},
                             "the UTF-16 text ends in half a character");
        if (TrimRight(d.lines[0]) != kHeader5)
            throw ParseError({1, 1}, "a UTF-16 file must start with \"Windows Registry Editor Version 5.00\"");
        return d;
    }
    if (bytes.size() >= 2 && (bytes[0] == '\0' || bytes[1] == '\0'))
        throw ParseError({1, 1}, "UTF-16 text without a byte-order mark");
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);  // a UTF-8 file as editors save it
    const std::string_view first = TrimRight(bytes.substr(0, bytes.find('\n')));
    if (first == kHeader4) return {Dialect::Regedit4, SplitLines(AnsiToText(bytes))};
    // A hand-written version 5 file in UTF-8 reads the same as the UTF-16 one.
    if (first == kHeader5) return {Dialect::Version5, SplitLines(bytes)};
    throw ParseError({1, 1}, "missing header: expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
}

// Text as a version 5 file written in UTF-8 holds it: a malformed sequence is refused rather than
// stored as U+FFFD. (Text from a UTF-16 or a REGEDIT4 file is always whole.)
const std::string& WholeText(const std::string& text, Position where) {
    if (Utf16ToWtf8(Wtf8ToUtf16(text)) != text) throw ParseError(where, "text that is not UTF-8");
    return text;
}

// Text as the registry's W functions take it.
std::u16string Wide(std::string_view text) {
    return Wtf8ToUtf16(text);
}

// Characters no name read from or written to a file may hold.
constexpr std::string_view kNotInNames("\0\r\n", 3);

std::string BadNameCharacter(char c) {
    return c == '\0' ? "a NUL inside a name" : "a line break inside a name";
}

// Where a key line's name would hold "]" followed by a comment: the offset of that ";", else npos.
size_t AmbiguousKeyEnd(std::string_view name) {
    for (size_t close = name.find(']'); close != std::string_view::npos; close = name.find(']', close + 1)) {
        size_t i = close + 1;
        while (i < name.size() && IsBlank(name[i])) ++i;
        if (i < name.size() && name[i] == ';') return i;
    }
    return std::string_view::npos;
}

class Parser {
public:
    explicit Parser(Decoded d) : d_(std::move(d)) {}

    RegFile Run() {
        RegFile file;
        file.dialect = d_.dialect;
        for (line_ = 1; line_ < d_.lines.size(); ++line_) {
            pos_ = 0;
            SkipBlanks();
            if (AtEnd() || Peek() == ';') continue;
            if (Peek() == '[') {
                file.keys.push_back(KeyLine());
            } else if (Peek() == '@' || Peek() == '"') {
                if (file.keys.empty()) Fail("a value before any key");
                if (file.keys.back().removeTree) Fail("a value under a key that is being deleted");
                file.keys.back().values.push_back(ValueLine());
            } else {
                Fail("expected a key in brackets, a value or a comment");
            }
        }
        return file;
    }

private:
    const std::string& Line() const { return d_.lines[line_]; }
    bool AtEnd() const { return pos_ >= Line().size(); }
    char Peek() const { return AtEnd() ? '\0' : Line()[pos_]; }
    Position Here() const { return Where(pos_); }
    Position Where(size_t pos) const { return {static_cast<int>(line_ + 1), ColumnAt(Line(), pos)}; }
    [[noreturn]] void Fail(const std::string& what) const { throw ParseError(Here(), what); }
    [[noreturn]] void FailAt(size_t pos, const std::string& what) const { throw ParseError(Where(pos), what); }
    void SkipBlanks() {
        while (!AtEnd() && IsBlank(Peek())) ++pos_;
    }
    bool Accept(std::string_view word) {
        if (!EqualsNoCase(std::string_view(Line()).substr(pos_, word.size()), word)) return false;
        pos_ += word.size();
        return true;
    }
    // Only blanks or a comment may follow.
    void ExpectLineEnd(const char* after) {
        SkipBlanks();
        if (!AtEnd() && Peek() != ';') Fail(std::string("unexpected text after ") + after);
    }

    KeyEntry KeyLine() {
        KeyEntry key;
        key.where = Here();
        const std::string_view line = TrimRight(Line());
        const size_t close = line.rfind(']');  // a key name may itself hold "]"
        if (close == std::string_view::npos || close <= pos_) FailAt(line.size(), "missing ']' after the key name");
        ++pos_;
        if (Peek() == '-') {
            key.removeTree = true;
            ++pos_;
        }
        const size_t nameStart = pos_;
        const std::string_view name = line.substr(nameStart, close - nameStart);
        // "[HKCU\A] ; see [docs]" could be key "A" with a comment or key "A] ; see [docs": refuse to guess.
        if (const size_t comment = AmbiguousKeyEnd(name); comment != std::string_view::npos)
            FailAt(nameStart + comment,
                   "a comment after a key holds ']', so the key name's end is unclear; "
                   "put the comment on a line of its own");
        if (const size_t bad = name.find_first_of(kNotInNames); bad != std::string_view::npos)
            FailAt(nameStart + bad, BadNameCharacter(name[bad]));
        const auto parsed = ParseKeyName(name);
        if (!parsed) {
            const size_t slash = name.find('\\');
            if (!ParseKeyName(name.substr(0, slash))) FailAt(nameStart, "unknown root key");
            FailAt(nameStart, "a key path with an empty part");
        }
        if (key.removeTree && parsed->path.empty()) FailAt(nameStart, "a root key cannot be deleted");
        key.root = parsed->root;
        key.path = WholeText(parsed->path, Where(nameStart));
        CheckKeyPathLength(key.path, nameStart);
        pos_ = close + 1;
        ExpectLineEnd("']'");
        return key;
    }

    ValueEntry ValueLine() {
        ValueEntry value;
        value.where = Here();
        if (Peek() == '@') {
            ++pos_;
        } else {
            const Position at = Here();
            value.name = WholeText(QuotedString(true), at);
            if (const size_t units = Utf16Length(value.name); units > kMaxValueName)
                throw ParseError(at, "a value name of " + std::to_string(units) +
                                         " characters; the registry takes at most " + std::to_string(kMaxValueName));
        }
        SkipBlanks();
        if (Peek() != '=') Fail("expected '=' after the value name");
        ++pos_;
        SkipBlanks();
        const size_t dataStart = pos_;
        const Position dataAt = Here();
        if (Peek() == '-') {
            ++pos_;
            value.remove = true;
        } else if (Peek() == '"') {
            value.type = REG_SZ;
            const std::string text = WholeText(QuotedString(), dataAt);
            value.data =
                d_.dialect == Dialect::Version5 ? Wtf8ToUtf16Le(text) + std::string(2, '\0') : TextToAnsi(text) + '\0';
        } else if (Accept("dword:")) {
            value.type = REG_DWORD;
            const DWORD v = HexNumber(8, "dword: takes 1 to 8 hex digits");
            value.data.assign(reinterpret_cast<const char*>(&v), sizeof v);
        } else if (Accept("hex:")) {
            value.type = REG_BINARY;
            value.data = Bytes();
        } else if (Accept("hex(")) {
            value.type = HexNumber(8, "hex( takes a type number of 1 to 8 hex digits");
            if (Peek() != ')') Fail("expected ')' after the type number");
            ++pos_;
            if (Peek() != ':') Fail("expected ':' after hex(...)");
            ++pos_;
            // Kept as written: in a version 5 file the string types' bytes are UTF-16LE, which is
            // what the W functions take, whole or not.
            value.data = Bytes();
        } else {
            FailAt(dataStart, "expected a string, dword:, hex:, hex(N): or -");
        }
        ExpectLineEnd("the value");
        return value;
    }

    // A quoted string at the cursor, with its \\ and \" escapes resolved. A name may not hold NUL
    // (the registry would cut it there) nor a line break (no export could write it back).
    std::string QuotedString(bool isName = false) {
        const size_t open = pos_++;
        std::string text;
        while (true) {
            if (AtEnd()) FailAt(open, "string not closed before the end of the line");
            const char c = Line()[pos_];
            if (c == '"') break;
            if (isName && kNotInNames.find(c) != std::string_view::npos) Fail(BadNameCharacter(c));
            if (c == '\\') {
                const char next = pos_ + 1 < Line().size() ? Line()[pos_ + 1] : '\0';
                if (next != '\\' && next != '"') Fail("unknown escape: only \\\\ and \\\" are allowed");
                text += next;
                pos_ += 2;
                continue;
            }
            text += c;
            ++pos_;
        }
        ++pos_;
        return text;
    }

    void CheckKeyPathLength(const std::string& path, size_t nameStart) const {
        const std::string fault = KeyPathFault(path, d_.dialect == Dialect::Regedit4);
        if (!fault.empty()) FailAt(nameStart, fault);
    }

    DWORD HexNumber(size_t maxDigits, const char* what) {
        const size_t start = pos_;
        DWORD v = 0;
        while (!AtEnd() && HexDigit(Peek()) >= 0) {
            v = (v << 4) | static_cast<DWORD>(HexDigit(Peek()));
            ++pos_;
        }
        if (pos_ == start || pos_ - start > maxDigits) FailAt(start, what);
        return v;
    }

    // A backslash at the end of a line carries the list on to the next line.
    bool Continuation() {
        if (Peek() != '\\') return false;
        const size_t after = pos_ + 1;
        if (!TrimRight(std::string_view(Line()).substr(after)).empty()) return false;
        if (line_ + 1 >= d_.lines.size()) Fail("the file ends after a line continuation");
        ++line_;
        pos_ = 0;
        SkipBlanks();
        return true;
    }

    // Comma-separated bytes, two hex digits each; possibly none.
    std::string Bytes() {
        std::string out;
        SkipBlanks();
        if (Continuation()) SkipBlanks();
        if (AtEnd() || Peek() == ';') return out;
        while (true) {
            SkipBlanks();
            const size_t start = pos_;
            unsigned v = 0;
            while (!AtEnd() && HexDigit(Peek()) >= 0) {
                v = std::min(v * 16 + static_cast<unsigned>(HexDigit(Peek())), 0x1000u);
                ++pos_;
            }
            const size_t digits = pos_ - start;
            if (digits == 0) FailAt(start, "expected a hex byte");
            if (v > 0xFF) FailAt(start, "a byte above ff");
            if (digits != 2) FailAt(start, "a byte is written as two hex digits");
            out += static_cast<char>(v);
            SkipBlanks();
            if (Peek() != ',') break;
            ++pos_;
            SkipBlanks();
            Continuation();
        }
        return out;
    }

    Decoded d_;
    size_t line_ = 0;
    size_t pos_ = 0;
};

std::string Hex2(unsigned char b) {
    static const char digits[] = "0123456789abcdef";
    return {digits[b >> 4], digits[b & 15]};
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
    static const char digits[] = "0123456789abcdef";
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
        *at++ = digits[b >> 4];
        *at++ = digits[b & 15];
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
    for (DWORD t = v.type; t != 0 || typeHex.empty(); t >>= 4)
        typeHex.insert(typeHex.begin(), "0123456789abcdef"[t & 15]);
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

}  // namespace

std::optional<KeyName> ParseKeyName(std::string_view text) {
    if (!text.empty() && text.back() == '\\') text.remove_suffix(1);
    const size_t slash = text.find('\\');
    const std::string_view rootName = text.substr(0, slash);
    const auto root = std::find_if(Roots().begin(), Roots().end(), [&](const Root& r) {
        return EqualsNoCase(rootName, r.name) || EqualsNoCase(rootName, r.shortName);
    });
    if (root == Roots().end()) return std::nullopt;
    KeyName key{root->key, ""};
    if (slash == std::string_view::npos) return key;
    key.path = std::string(text.substr(slash + 1));
    if (key.path.empty() || key.path.front() == '\\' || key.path.back() == '\\' ||
        key.path.find("\\\\") != std::string::npos)
        return std::nullopt;
    return key;
}

size_t Utf16Length(std::string_view text) {
    size_t units = 0;
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if ((b & 0xC0) != 0x80) ++units;  // a character starts here
        if (b >= 0xF0) ++units;           // beyond the BMP: a surrogate pair
    }
    return units;
}

std::string KeyPathFault(std::string_view path, bool whole) {
    auto tooLong = [](const char* what, size_t size, size_t most) {
        return std::string(what) + " of " + std::to_string(size) + " characters; the registry takes at most " +
               std::to_string(most);
    };
    if (whole && Utf16Length(path) > kMaxKeyPath) return tooLong("a key path", Utf16Length(path), kMaxKeyPath);
    size_t levels = 0;
    for (size_t start = 0; start < path.size();) {
        const size_t end = std::min(path.find('\\', start), path.size());
        if (const size_t units = Utf16Length(path.substr(start, end - start)); units > kMaxKeyNamePart)
            return tooLong("a key name", units, kMaxKeyNamePart);
        levels += end > start ? 1 : 0;
        start = end + 1;
    }
    if (levels > kMaxKeyDepth)
        return "a key " + std::to_string(levels) + " levels below its root; keys nest at most " +
               std::to_string(kMaxKeyDepth) + " levels";
    return {};
}

std::string_view RootName(HKEY root) {
    for (const auto& r : Roots())
        if (r.key == root) return r.name;
    return {};
}

RegFile Parse(std::string_view bytes) {
    return Parser(Decode(bytes)).Run();
}

namespace {

// The registry functions a file's entries go through: a version 5 file's text is Unicode and goes
// whole through the W functions; a REGEDIT4 file's is ANSI and goes through the A ones, as before.
struct WideCalls {
    static LONG DeleteTree(HKEY root, const std::string& path) { return RegDeleteTreeW(root, Wide(path).c_str()); }
    static LONG Create(HKEY root, const std::string& path, HKEY& h) {
        return RegCreateKeyExW(root, Wide(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                               &h, nullptr);
    }
    static LONG DeleteValue(HKEY h, const std::string& name) { return RegDeleteValueW(h, Wide(name).c_str()); }
    static LONG SetValue(HKEY h, const std::string& name, DWORD type, const std::string& data) {
        return RegSetValueExW(h, Wide(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
};
struct AnsiCalls {
    static LONG DeleteTree(HKEY root, const std::string& path) {
        return RegDeleteTreeA(root, TextToAnsi(path).c_str());
    }
    static LONG Create(HKEY root, const std::string& path, HKEY& h) {
        return RegCreateKeyExA(root, TextToAnsi(path).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                               nullptr, &h, nullptr);
    }
    static LONG DeleteValue(HKEY h, const std::string& name) { return RegDeleteValueA(h, TextToAnsi(name).c_str()); }
    static LONG SetValue(HKEY h, const std::string& name, DWORD type, const std::string& data) {
        return RegSetValueExA(h, TextToAnsi(name).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                              static_cast<DWORD>(data.size()));
    }
};

template <typename Calls>
LONG ApplyEntries(const RegFile& file, ApplyResult& result) {
    auto fail = [&](LONG rc, Position where) {
        result.where = where;
        return rc;
    };
    for (const auto& key : file.keys) {
        if (key.removeTree) {
            const LONG rc = Calls::DeleteTree(key.root, key.path);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) return fail(rc, key.where);
            continue;
        }
        HKEY h = nullptr;
        if (const LONG rc = Calls::Create(key.root, key.path, h); rc != ERROR_SUCCESS) return fail(rc, key.where);
        for (const auto& value : key.values) {
            LONG rc = ERROR_SUCCESS;
            if (value.remove) {
                rc = Calls::DeleteValue(h, value.name);
                if (rc == ERROR_FILE_NOT_FOUND) rc = ERROR_SUCCESS;
            } else {
                rc = Calls::SetValue(h, value.name, value.type, value.data);
            }
            if (rc != ERROR_SUCCESS) {
                RegCloseKey(h);
                return fail(rc, value.where);
            }
        }
        RegCloseKey(h);
    }
    return ERROR_SUCCESS;
}

}  // namespace

ApplyResult Apply(const RegFile& file) {
    ApplyResult result;
    result.code = RunInStoreTransaction([&]() -> LONG {
        return file.dialect == Dialect::Version5 ? ApplyEntries<WideCalls>(file, result)
                                                 : ApplyEntries<AnsiCalls>(file, result);
    });
    return result;
}

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
