// Reading a .reg file of either dialect: the bytes decoded to lines of text, then every key and
// value line checked and turned into the entries the registry is to hold.
#include "reg_file_parts.h"

#include "hex.h"

#include "ascii.h"
#include "text.h"
#include "utf16.h"

#include <algorithm>

namespace regfile {

using detail::AmbiguousKeyEnd;
using detail::IsBlank;
using detail::kHeader4;
using detail::kHeader5;
using detail::kNotInNames;

namespace {

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

std::string BadNameCharacter(char c) {
    return c == '\0' ? "a NUL inside a name" : "a line break inside a name";
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
        if (!EqualsAsciiFolded(std::string_view(Line()).substr(pos_, word.size()), word)) return false;
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
        while (!AtEnd() && HexValue(Peek()) >= 0) {
            v = (v << 4) | static_cast<DWORD>(HexValue(Peek()));
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
            while (!AtEnd() && HexValue(Peek()) >= 0) {
                v = std::min(v * 16 + static_cast<unsigned>(HexValue(Peek())), 0x1000u);
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

}  // namespace

RegFile Parse(std::string_view bytes) {
    return Parser(Decode(bytes)).Run();
}

}  // namespace regfile
