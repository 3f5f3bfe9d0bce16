// The portable store's registry functions against the registry model: the input is read as a run of
// registry calls (handles, names, types, data, buffer sizes); each call goes to the store and to the
// model with buffers alike, and every result code, count and byte that comes back must be the same.
// On a difference the calls so far are printed, in a form to paste into a test, and the run stops.
#include "registry_model.h"
#include "registry_store.h"
#include "winapi.h"

#include <unistd.h>
#include <cerrno>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// The store files each input starts afresh: HKEY_CURRENT_USER in one of its own, as installed.
std::string g_store, g_userStore;

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool Done() const { return p_ == end_; }
    std::uint8_t Byte() { return p_ == end_ ? 0 : *p_++; }
    std::string Bytes(std::size_t n) {
        n = std::min<std::size_t>(n, static_cast<std::size_t>(end_ - p_));
        std::string s(reinterpret_cast<const char*>(p_), n);
        p_ += n;
        return s;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// An optional C string argument: absent means NULL.
struct Text {
    bool null = false;
    std::string s;
    LPCSTR Ptr() const { return null ? nullptr : s.c_str(); }
};

std::string Quote(const Text& t) {
    if (t.null) return "NULL";
    std::string out = "\"";
    if (t.s.size() > 40) return "std::string(" + std::to_string(t.s.size()) + ", '" + t.s.substr(0, 1) + "')";
    for (unsigned char c : t.s) {
        char hex[8];
        if (c == '\\' || c == '"') out += {'\\', static_cast<char>(c)};
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else out += (std::snprintf(hex, sizeof hex, "\\x%02X\"\"", c), hex);
    }
    return out + "\"";
}

std::string Hex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", c);
        out += hex;
    }
    return out.empty() ? "(none)" : out;
}

// A write made by another process: a value set below a root (the key made as needed), or a tree
// deleted.
struct OtherWrite {
    bool remove;
    HKEY root;
    Text path, name;

    template <typename Create, typename Set, typename Close, typename DeleteTree>
    LONG Apply(Create create, Set set, Close close, DeleteTree deleteTree) const {
        static const BYTE data[] = "other";
        if (remove) return deleteTree(root, path.Ptr());
        HKEY key = nullptr;
        LONG rc = create(root, path.Ptr(), &key);
        if (rc == ERROR_SUCCESS) rc = set(key, name.Ptr(), data, static_cast<DWORD>(sizeof data));
        if (key != nullptr) close(key);
        return rc;
    }
};

// The other process: forked once at start-up, while this one is small, and sent writes through a
// pipe. It opens the stores afresh for each write and closes them after, as a short-lived
// program would.
class OtherProcess {
public:
    void Start() {
        int toChild[2], fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) std::abort();
        const pid_t pid = fork();
        if (pid < 0) std::abort();
        if (pid == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            Serve(toChild[0], fromChild[1]);
        }
        close(toChild[0]);
        close(fromChild[1]);
        out_ = toChild[1];
        in_ = fromChild[0];
    }

    LONG Run(const OtherWrite& w) {
        std::string request;
        request += static_cast<char>(w.remove);
        request += static_cast<char>(w.root == HKEY_LOCAL_MACHINE);
        request += static_cast<char>(w.name.null);
        for (const std::string* text : {&w.path.s, &w.name.s}) {
            const auto size = static_cast<std::uint32_t>(text->size());
            request.append(reinterpret_cast<const char*>(&size), sizeof size).append(*text);
        }
        LONG rc = -1;
        if (!WriteAll(out_, request.data(), request.size()) || !ReadAll(in_, &rc, sizeof rc)) std::abort();
        return rc;
    }

private:
    [[noreturn]] static void Serve(int in, int out) {
        for (;;) {
            char head[3];
            OtherWrite w{};
            if (!ReadAll(in, head, sizeof head)) _exit(0);  // the fuzzer is gone
            w.remove = head[0] != 0;
            w.root = head[1] ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
            w.name.null = head[2] != 0;
            for (std::string* text : {&w.path.s, &w.name.s}) {
                std::uint32_t size = 0;
                if (!ReadAll(in, &size, sizeof size)) _exit(0);
                text->resize(size);
                if (!ReadAll(in, text->data(), size)) _exit(0);
            }
            UseRegistryStore(g_store, g_userStore);
            const LONG rc = w.Apply(
                [](HKEY h, LPCSTR p, PHKEY k) {
                    return RegCreateKeyExA(h, p, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k, nullptr);
                },
                [](HKEY k, LPCSTR n, const BYTE* d, DWORD c) { return RegSetValueExA(k, n, 0, REG_SZ, d, c); },
                [](HKEY k) { RegCloseKey(k); }, [](HKEY h, LPCSTR p) { return RegDeleteTreeA(h, p); });
            UseRegistryStore(g_store + ".idle");
            if (!WriteAll(out, &rc, sizeof rc)) _exit(0);
        }
    }
    static bool ReadAll(int fd, void* p, std::size_t n) {
        for (auto* c = static_cast<char*>(p); n > 0;) {
            const ssize_t got = read(fd, c, n);
            if (got < 0 && errno == EINTR) continue;  // libFuzzer's timeout alarm ticks every second
            if (got <= 0) return false;
            c += got;
            n -= static_cast<std::size_t>(got);
        }
        return true;
    }
    static bool WriteAll(int fd, const void* p, std::size_t n) {
        for (const auto* c = static_cast<const char*>(p); n > 0;) {
            const ssize_t put = write(fd, c, n);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            c += put;
            n -= static_cast<std::size_t>(put);
        }
        return true;
    }

    int out_ = -1, in_ = -1;
};

OtherProcess g_other;

// Characters names are made of: case pairs in ASCII and Windows-1252, letters without a pair,
// and a byte Windows-1252 leaves undefined.
constexpr char kNameChars[] = "aAbB\xE9\xC9\xFF\x9F\x9A\x8A\xB5\xDF\x81~ ";
constexpr REGSAM kAccess[] = {
    KEY_ALL_ACCESS, KEY_READ, KEY_WRITE, KEY_QUERY_VALUE, KEY_SET_VALUE, KEY_CREATE_SUB_KEY, KEY_ENUMERATE_SUB_KEYS, 0};
constexpr DWORD kTypes[] = {REG_SZ,   REG_BINARY,    REG_DWORD, REG_MULTI_SZ,
                            REG_NONE, REG_EXPAND_SZ, REG_QWORD, 0xFFFF0001};
constexpr DWORD kSizes[] = {0, 1, 2, 3, 4, 8, 16, 300};

class Run {
public:
    explicit Run(Input in) : in_(in) {}

    void Go() {
        for (int step = 0; step < 400 && !in_.Done(); ++step) Step();
        if (std::getenv("STORE_MODEL_TRACE") != nullptr)  // to see what an input does
            for (const auto& line : log_) std::fprintf(stderr, "%s\n", line.c_str());
    }

private:
    struct Slot {
        HKEY store;
        HKEY model;
        std::string label;
    };

    void Step() {
        switch (in_.Byte() % 16) {
            case 0:
                Open(false);
                break;
            case 1:
                Open(true);
                break;
            case 2:
                Close();
                break;
            case 3:
                Query();
                break;
            case 4:
            case 5:
                Set();
                break;
            case 6:
                DeleteValue();
                break;
            case 7:
                DeleteKey();
                break;
            case 8:
                DeleteTree();
                break;
            case 9:
                EnumKey();
                break;
            case 10:
                EnumValue();
                break;
            case 11:
                QueryInfo();
                break;
            case 12:
                Reopen();
                break;
            case 13:
                Transaction();
                break;
            case 14:
                Flush();
                break;
            case 15:
                OtherProcess();
                break;
        }
    }

    // Handles: the roots, NULL, and every handle this input opened (closed ones stay as stale).
    Slot PickHandle() {
        static const Slot fixed[] = {{HKEY_CURRENT_USER, HKEY_CURRENT_USER, "HKEY_CURRENT_USER"},
                                     {HKEY_LOCAL_MACHINE, HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE"},
                                     {HKEY_CLASSES_ROOT, HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT"},
                                     {nullptr, nullptr, "NULL"}};
        const std::size_t pick = in_.Byte() % (std::size(fixed) + slots_.size());
        return pick < std::size(fixed) ? fixed[pick] : slots_[pick - std::size(fixed)];
    }

    // Mostly a few short names, so that calls meet the same keys and values under other spellings.
    std::string Name() {
        static const char* const common[] = {"a", "A", "b", "B", "\xE9", "\xC9", "ab", "AB"};
        const std::uint8_t b = in_.Byte();
        if (b < 0xA0) return common[b % std::size(common)];
        if (b >= 0xF8) return std::string(b & 1 ? 256 : 255, "kK"[b & 2 ? 1 : 0]);  // at the limit and past it
        std::string name;
        for (int n = b % 4; n > 0; --n) {
            const std::uint8_t c = in_.Byte();
            name += c >= 0xF0 ? static_cast<char>(c == 0xF0 ? 1 : c) : kNameChars[c % (sizeof kNameChars - 1)];
        }
        return name;
    }

    // A path of up to three names; now and then with runs of backslashes, a trailing or leading
    // one, NULL, or at the length limit.
    Text KeyPath(bool mayBeNull) {
        static constexpr int kParts[8] = {1, 1, 2, 0, 1, 3, 2, 1};
        const std::uint8_t b = in_.Byte();
        Text t;
        if (b >= 0xFC) {
            t.null = mayBeNull && b == 0xFC;
            if (b == 0xFC) return t;
            t.s = std::string(40, 'p');
            while (t.s.size() < 260) t.s += "\\" + std::string(std::min<std::size_t>(259 - t.s.size(), 60), 'q');
            if (b == 0xFF) t.s += 'r';  // one past the limit
            return t;
        }
        if (b >= 0xF8) t.s += '\\';
        for (int parts = kParts[b % 8]; parts > 0; --parts) {
            t.s += Name();
            if (parts > 1 || (b & 0x08)) t.s += (b & 0x30) == 0x30 ? "\\\\" : "\\";
        }
        return t;
    }

    Text ValueNameArg() {
        const std::uint8_t b = in_.Byte();
        Text t;
        if (b % 16 == 15) t.null = true;
        else if (b == 0xFD || b == 0xFE) t.s = std::string(b & 1 ? 16384 : 16383, 'v');  // the limit and past it
        else t.s = Name();
        return t;
    }

    std::string Label(const Slot& s) const { return s.label; }

    void Open(bool create) {
        const Slot parent = PickHandle();
        const Text path = KeyPath(false);
        const REGSAM access = kAccess[in_.Byte() % std::size(kAccess)];
        HKEY store = reinterpret_cast<HKEY>(1), model = reinterpret_cast<HKEY>(1);
        DWORD sd = 77, md = 77;
        LONG src, mrc;
        if (create) {
            src = RegCreateKeyExA(parent.store, path.Ptr(), 0, nullptr, 0, access, nullptr, &store, &sd);
            mrc = model_.CreateKeyEx(parent.model, path.Ptr(), access, &model, &md);
        } else {
            src = RegOpenKeyExA(parent.store, path.Ptr(), 0, access, &store);
            mrc = model_.OpenKeyEx(parent.model, path.Ptr(), access, &model);
        }
        const std::string label = "h" + std::to_string(slots_.size());
        Log((create ? "RegCreateKeyExA(" : "RegOpenKeyExA(") + Label(parent) + ", " + Quote(path) + ", access 0x" +
                ToHex(access) + ")",
            src, src == ERROR_SUCCESS ? " -> " + label : "");
        Same("result", src, mrc);
        Same("handle given", store != nullptr, model != nullptr);
        Same("disposition", sd, md);
        if (src == ERROR_SUCCESS && mrc == ERROR_SUCCESS) slots_.push_back({store, model, label});
        Check();
    }

    void Close() {
        const Slot h = PickHandle();
        const LONG src = RegCloseKey(h.store), mrc = model_.CloseKey(h.model);
        Log("RegCloseKey(" + Label(h) + ")", src);
        Same("result", src, mrc);
        Check();
    }

    void Flush() {
        const Slot h = PickHandle();
        const LONG src = RegFlushKey(h.store), mrc = model_.FlushKey(h.model);
        Log("RegFlushKey(" + Label(h) + ")", src);
        Same("result", src, mrc);
        Check();
    }

    // Another process writes to the same stores, through paths from a root: sets a value (making
    // the key) or deletes a tree. This process must see the change, and its handles to keys that
    // went must say so.
    void OtherProcess() {
        if (depth_ > 0) return;  // it would wait for this process's transaction
        const std::uint8_t b = in_.Byte();
        OtherWrite w{(b & 2) != 0, (b & 1) ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER, KeyPath(false), ValueNameArg()};
        const LONG mrc =
            w.Apply([&](HKEY h, LPCSTR p, PHKEY k) { return model_.CreateKeyEx(h, p, KEY_ALL_ACCESS, k, nullptr); },
                    [&](HKEY k, LPCSTR n, const BYTE* d, DWORD c) { return model_.SetValueEx(k, n, REG_SZ, d, c); },
                    [&](HKEY k) { model_.CloseKey(k); }, [&](HKEY h, LPCSTR p) { return model_.DeleteTree(h, p); });
        const LONG src = g_other.Run(w);
        const std::string root = Label(PickRoot(w.root));
        Log("In another process: " + (w.remove ? "RegDeleteTreeA(" + root + ", " + Quote(w.path) + ")"
                                               : "RegCreateKeyExA(" + root + ", " + Quote(w.path) +
                                                     ") and RegSetValueExA(" + Quote(w.name) + ", REG_SZ \"other\")"),
            src);
        Same("result", src, mrc);
        Check();
    }
    static Slot PickRoot(HKEY root) {
        return {root, root, root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER"};
    }

    // A buffer for data handed out: NULL, or so many bytes of a filler that shows what was written.
    struct Buffer {
        bool null;
        DWORD size;
        std::string bytes;
        LPBYTE Ptr() { return null ? nullptr : reinterpret_cast<LPBYTE>(bytes.data()); }
    };
    Buffer MakeBuffer(std::uint8_t b) {
        Buffer buf{(b & 8) != 0, kSizes[b % 8], {}};
        buf.bytes.assign(buf.size, '\xCD');
        return buf;
    }

    void Query() {
        const Slot h = PickHandle();
        const Text name = ValueNameArg();
        const std::uint8_t b = in_.Byte();
        const bool noType = b & 0x10, noCount = (b & 0x60) == 0x60, reserved = b == 0xFF;
        Buffer sb = MakeBuffer(b), mb = sb;
        DWORD st = 0xAAAA, mt = 0xAAAA, sr = 0, mr = 0;
        const LONG src = RegQueryValueExA(h.store, name.Ptr(), reserved ? &sr : nullptr, noType ? nullptr : &st,
                                          sb.Ptr(), noCount ? nullptr : &sb.size);
        const LONG mrc = model_.QueryValueEx(h.model, name.Ptr(), reserved ? &mr : nullptr, noType ? nullptr : &mt,
                                             mb.Ptr(), noCount ? nullptr : &mb.size);
        Log("RegQueryValueExA(" + Label(h) + ", " + Quote(name) + ", buffer " +
                (sb.null ? "NULL" : std::to_string(mb.bytes.size())) + (noCount ? ", no count" : "") +
                (reserved ? ", reserved" : "") + ")",
            src,
            src == ERROR_SUCCESS || src == ERROR_MORE_DATA
                ? " type " + std::to_string(st) + " size " + std::to_string(sb.size)
                : "");
        Same("result", src, mrc);
        Same("type", st, mt);
        Same("size", sb.size, mb.size);
        SameBytes("data", sb.bytes, mb.bytes);
        Check();
    }

    void Set() {
        const Slot h = PickHandle();
        const Text name = ValueNameArg();
        const std::uint8_t b = in_.Byte();
        const DWORD type = kTypes[b % std::size(kTypes)];
        const std::string data = in_.Bytes(in_.Byte() % 40);
        const bool nullData = (b & 0xF8) == 0xF8;  // no data: with a size, ERROR_NOACCESS
        const DWORD size = nullData ? (b & 1) : static_cast<DWORD>(data.size());
        const BYTE* ptr = nullData ? nullptr : reinterpret_cast<const BYTE*>(data.data());
        const LONG src = RegSetValueExA(h.store, name.Ptr(), 0, type, ptr, size);
        const LONG mrc = model_.SetValueEx(h.model, name.Ptr(), type, ptr, size);
        Log("RegSetValueExA(" + Label(h) + ", " + Quote(name) + ", type " + std::to_string(type) + ", " +
                (nullData ? "NULL, " + std::to_string(size) : "bytes " + Hex(data)) + ")",
            src);
        Same("result", src, mrc);
        Check();
    }

    void DeleteValue() {
        const Slot h = PickHandle();
        const Text name = ValueNameArg();
        const LONG src = RegDeleteValueA(h.store, name.Ptr()), mrc = model_.DeleteValue(h.model, name.Ptr());
        Log("RegDeleteValueA(" + Label(h) + ", " + Quote(name) + ")", src);
        Same("result", src, mrc);
        Check();
    }

    void DeleteKey() {
        const Slot h = PickHandle();
        const Text path = KeyPath(true);
        const LONG src = RegDeleteKeyA(h.store, path.Ptr()), mrc = model_.DeleteKey(h.model, path.Ptr());
        Log("RegDeleteKeyA(" + Label(h) + ", " + Quote(path) + ")", src);
        Same("result", src, mrc);
        Check();
    }

    void DeleteTree() {
        const Slot h = PickHandle();
        const Text path = KeyPath(true);
        const LONG src = RegDeleteTreeA(h.store, path.Ptr()), mrc = model_.DeleteTree(h.model, path.Ptr());
        Log("RegDeleteTreeA(" + Label(h) + ", " + Quote(path) + ")", src);
        Same("result", src, mrc);
        Check();
    }

    // A name buffer of a few characters, filled so that what was written shows.
    struct NameBuffer {
        std::string chars;
        DWORD cch;
    };
    NameBuffer MakeNameBuffer(std::uint8_t b) {
        static constexpr DWORD sizes[] = {0, 1, 2, 3, 4, 256, 300, 16384};
        const DWORD cch = sizes[b % 8];
        return {std::string(cch + 1, '\xEE'), cch};
    }

    void EnumKey() {
        const Slot h = PickHandle();
        const DWORD index = in_.Byte() % 8;
        const std::uint8_t b = in_.Byte();
        NameBuffer sn = MakeNameBuffer(b), mn = sn;
        const bool withClass = b & 8, reserved = b == 0xFF;
        char sc[4] = "cls", mc[4] = "cls";
        DWORD scc = 1 + (b >> 4) % 3, mcc = scc, sr = 0, mr = 0;
        FILETIME sft{5, 5}, mft{5, 5};
        const LONG src = RegEnumKeyExA(h.store, index, sn.chars.data(), &sn.cch, reserved ? &sr : nullptr,
                                       withClass ? sc : nullptr, withClass ? &scc : nullptr, &sft);
        const LONG mrc = model_.EnumKeyEx(h.model, index, mn.chars.data(), &mn.cch, reserved ? &mr : nullptr,
                                          withClass ? mc : nullptr, withClass ? &mcc : nullptr, &mft);
        Log("RegEnumKeyExA(" + Label(h) + ", " + std::to_string(index) + ", buffer " +
                std::to_string(mn.chars.size() - 1) + (withClass ? ", class" : "") + (reserved ? ", reserved" : "") +
                ")",
            src, src == ERROR_SUCCESS ? " " + Quote(Text{false, sn.chars.substr(0, sn.cch)}) : "");
        Same("result", src, mrc);
        SameBytes("name", sn.chars, mn.chars);
        Same("name length", sn.cch, mn.cch);
        SameBytes("class", std::string(sc, 4), std::string(mc, 4));
        Same("class length", scc, mcc);
        Same("time", Hex(std::string(reinterpret_cast<char*>(&sft), sizeof sft)),
             Hex(std::string(reinterpret_cast<char*>(&mft), sizeof mft)));
        Check();
    }

    void EnumValue() {
        const Slot h = PickHandle();
        const DWORD index = in_.Byte() % 8;
        const std::uint8_t b = in_.Byte(), c = in_.Byte();
        NameBuffer sn = MakeNameBuffer(b), mn = sn;
        Buffer sb = MakeBuffer(c), mb = sb;
        const bool noType = c & 0x10, noCount = (c & 0x60) == 0x60, reserved = b == 0xFF;
        DWORD st = 0xAAAA, mt = 0xAAAA, sr = 0, mr = 0;
        const LONG src = RegEnumValueA(h.store, index, sn.chars.data(), &sn.cch, reserved ? &sr : nullptr,
                                       noType ? nullptr : &st, sb.Ptr(), noCount ? nullptr : &sb.size);
        const LONG mrc = model_.EnumValue(h.model, index, mn.chars.data(), &mn.cch, reserved ? &mr : nullptr,
                                          noType ? nullptr : &mt, mb.Ptr(), noCount ? nullptr : &mb.size);
        Log("RegEnumValueA(" + Label(h) + ", " + std::to_string(index) + ", name buffer " +
                std::to_string(mn.chars.size() - 1) + ", data buffer " +
                (sb.null ? "NULL" : std::to_string(mb.bytes.size())) + (noCount ? ", no count" : "") +
                (reserved ? ", reserved" : "") + ")",
            src, src == ERROR_SUCCESS ? " " + Quote(Text{false, sn.chars.substr(0, sn.cch)}) : "");
        Same("result", src, mrc);
        SameBytes("name", sn.chars, mn.chars);
        Same("name length", sn.cch, mn.cch);
        Same("type", st, mt);
        Same("size", sb.size, mb.size);
        SameBytes("data", sb.bytes, mb.bytes);
        Check();
    }

    void QueryInfo() {
        const Slot h = PickHandle();
        const std::uint8_t b = in_.Byte();
        DWORD s[9], m[9];
        std::fill(std::begin(s), std::end(s), 0xBBBB);
        std::fill(std::begin(m), std::end(m), 0xBBBB);
        char sc[2] = "c", mc[2] = "c";
        FILETIME sft{5, 5}, mft{5, 5};
        const bool withClass = b & 1, reserved = b == 0xFF;
        auto arg = [&](DWORD* a, int i) { return (b >> 1) & (1 << (i % 7)) ? &a[i] : nullptr; };
        const LONG src =
            RegQueryInfoKeyA(h.store, withClass ? sc : nullptr, arg(s, 0), reserved ? &s[8] : nullptr, arg(s, 1),
                             arg(s, 2), arg(s, 3), arg(s, 4), arg(s, 5), arg(s, 6), arg(s, 7), &sft);
        const LONG mrc =
            model_.QueryInfoKey(h.model, withClass ? mc : nullptr, arg(m, 0), reserved ? &m[8] : nullptr, arg(m, 1),
                                arg(m, 2), arg(m, 3), arg(m, 4), arg(m, 5), arg(m, 6), arg(m, 7), &mft);
        Log("RegQueryInfoKeyA(" + Label(h) + (reserved ? ", reserved" : "") + ")", src,
            src == ERROR_SUCCESS ? " subkeys " + std::to_string(s[1]) + " values " + std::to_string(s[4]) : "");
        Same("result", src, mrc);
        static const char* const names[] = {
            "class length",       "subkeys",      "longest subkey name", "longest class", "values",
            "longest value name", "largest data", "security descriptor"};
        for (int i = 0; i < 8; ++i) Same(names[i], s[i], m[i]);
        SameBytes("class", std::string(sc, 2), std::string(mc, 2));
        Same("time", Hex(std::string(reinterpret_cast<char*>(&sft), sizeof sft)),
             Hex(std::string(reinterpret_cast<char*>(&mft), sizeof mft)));
        Check();
    }

    // The store closed and opened again: what was written is still there; the handles are not.
    void Reopen() {
        if (depth_ > 0) return;  // a transaction keeps its store
        UseRegistryStore(g_store, g_userStore);
        model_.InvalidateHandles();
        Log("UseRegistryStore(the same store)", ERROR_SUCCESS);
    }

    void Transaction() {
        if (depth_ >= 2) return;
        const std::uint8_t b = in_.Byte();
        const int calls = b % 8 + 1;
        const LONG result = (b & 0x80) ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
        // An outer one may build the store of a root in a new file, when it has none yet: the same
        // transaction to the model (no other process writes meanwhile, so the body runs once).
        const bool build = depth_ == 0 && (b & 0x40) != 0;
        const HKEY root = (b & 0x20) ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        Log(!build                      ? "RunInStoreTransaction({"
            : root == HKEY_CURRENT_USER ? "RunInNewStore(HKEY_CURRENT_USER, {"
                                        : "RunInNewStore(HKEY_LOCAL_MACHINE, {",
            ERROR_SUCCESS);
        model_.Begin();
        ++depth_;
        const auto body = [&] {
            for (int i = 0; i < calls && !in_.Done(); ++i) Step();
            return result;
        };
        const LONG src = build ? RunInNewStore(root, body) : RunInStoreTransaction(body);
        --depth_;
        model_.End(result == ERROR_SUCCESS);
        Log("} body returns " + std::to_string(result) + ")", src);
        Same("result", src, result);
        Check();
    }

    static std::string ToHex(DWORD v) {
        char hex[12];
        std::snprintf(hex, sizeof hex, "%X", v);
        return hex;
    }

    void Log(const std::string& call, LONG rc, const std::string& detail = "") {
        log_.push_back(std::string(static_cast<std::size_t>(depth_) * 2, ' ') + call + " = " + std::to_string(rc) +
                       detail);
    }

    template <typename T>
    void Same(const char* what, const T& store, const T& model) {
        if (store == model) return;
        std::string line = std::string(what) + ": store ";
        if constexpr (std::is_same_v<T, std::string>) line += store + ", model " + model;
        else line += std::to_string(store) + ", model " + std::to_string(model);
        differences_.push_back(line);
    }

    // Buffers are shown from their first difference, 24 bytes of each.
    void SameBytes(const char* what, const std::string& store, const std::string& model) {
        if (store == model) return;
        std::size_t at = 0;
        while (at < store.size() && at < model.size() && store[at] == model[at]) ++at;
        differences_.push_back(std::string(what) + " from byte " + std::to_string(at) + ": store " +
                               Hex(store.substr(std::min(at, store.size()), 24)) + ", model " +
                               Hex(model.substr(std::min(at, model.size()), 24)));
    }

    void Check() {
        if (differences_.empty()) return;
        std::fprintf(stderr, "\nThe store and the registry model disagree. Calls on a new store:\n");
        for (const auto& line : log_) std::fprintf(stderr, "  %s\n", line.c_str());
        std::fprintf(stderr, "After the last call:\n");
        for (const auto& line : differences_) std::fprintf(stderr, "  %s\n", line.c_str());
        std::abort();
    }

    Input in_;
    RegistryModel model_;
    std::vector<Slot> slots_;
    std::vector<std::string> log_;
    std::vector<std::string> differences_;
    int depth_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string dir = (std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                           : std::filesystem::temp_directory_path()) /
                      "store-model-fuzz-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) std::abort();
    setenv("XDG_DATA_HOME", dir.c_str(), 1);
    g_store = dir + "/registry.db";
    g_userStore = dir + "/user/registry.db";
    g_other.Start();
    static const std::string removeAtExit = dir;
    std::atexit([] { std::filesystem::remove_all(removeAtExit); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Every input starts on a store that does not exist yet.
    UseRegistryStore(g_store, g_userStore);
    for (const std::string& store : {g_store, g_userStore})
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) unlink((store + suffix).c_str());
    UseRegistryStore(g_store, g_userStore);
    Run(Input(data, size)).Go();
    return 0;
}
