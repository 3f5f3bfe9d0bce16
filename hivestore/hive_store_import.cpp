// Hives into the store: the keys a hive's reader hands over written below one key of the store,
// the running system's control set copied where Windows links it, and a value read out of a hive
// without writing it.
#include "ascii.h"
#include "hive.h"
#include "hive_store_parts.h"
#include "read_ahead.h"
#include "registry_store.h"
#include "utf16.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace hivestore {

using detail::ErrorText;
using detail::ShowKey;

namespace {

// Names compared as the registry compares the ASCII names this code looks for.
bool SameName(std::u16string_view a, std::u16string_view b) {
    return EqualsAsciiFolded(a, b);
}

// Keys open along the path being written; the first belongs to the caller.
class KeyStack {
public:
    explicit KeyStack(HKEY base = nullptr) {
        if (base != nullptr) keys_.push_back(base);
    }
    ~KeyStack() { Clear(); }
    KeyStack(const KeyStack&) = delete;
    KeyStack& operator=(const KeyStack&) = delete;
    bool Empty() const { return keys_.empty(); }
    HKEY Top() const { return keys_.back(); }
    void Push(HKEY h) { keys_.push_back(h); }
    // The top key goes; unless it is the caller's, it is closed by whoever holds `closing`.
    void Pop(std::vector<HKEY>& closing) {
        if (keys_.size() > 1) closing.push_back(keys_.back());
        keys_.pop_back();
    }
    void Clear() {
        while (keys_.size() > 1) {
            RegCloseKey(keys_.back());
            keys_.pop_back();
        }
        keys_.clear();
    }

private:
    std::vector<HKEY> keys_;
};

// A key path for a one-line message: control characters shown as '?', a long path cut in its middle.
std::string OneLine(std::string path) {
    for (char& c : path)
        if (static_cast<unsigned char>(c) < 0x20) c = '?';
    constexpr size_t kShown = 60;
    if (path.size() <= 2 * kShown) return path;
    const size_t levels = static_cast<size_t>(std::count(path.begin(), path.end(), '\\'));
    size_t head = kShown, tail = path.size() - kShown;
    while (head > 0 && (static_cast<unsigned char>(path[head]) & 0xC0) == 0x80) --head;  // whole characters
    while (tail < path.size() && (static_cast<unsigned char>(path[tail]) & 0xC0) == 0x80) ++tail;
    return path.substr(0, head) + "..." + path.substr(tail) + " (" + std::to_string(levels) + " levels below the root)";
}

// Writes the keys a hive holds below one key of the store, and a second copy of one subtree.
class StoreWriter : public hive::Visitor {
public:
    StoreWriter(std::string file, HKEY target, std::string targetName, size_t targetDepth, const ImportOptions& options,
                HKEY mirrorTarget)
        : options_(options),
          file_(std::move(file)),
          targetName_(std::move(targetName)),
          targetDepth_(targetDepth),
          main_(target),
          mirrorRoot_(mirrorTarget) {}
    ~StoreWriter() { CloseKeys(); }
    StoreWriter(const StoreWriter&) = delete;
    StoreWriter& operator=(const StoreWriter&) = delete;

    // Writes the values still waiting; call once the hive was read.
    void Finish() {
        Flush();
        if (options_.writing) options_.writing(report.keys, report.keys);
    }

    std::atomic<std::uint64_t> keysRead{0};  // by the hive's reader, on its own thread

    void BeginKey(std::u16string_view name, std::u16string_view, std::uint64_t) override {
        ++depth_;
        // The path is kept for messages: names one after the other, no allocation per key.
        ends_.push_back(path_.size());
        path_.append(u"\\").append(name);
        if (depth_ == 1) return;  // the hive's root is the target itself
        if (skipping_ > 0) {
            ++skipping_;
            return;
        }
        if (depth_ == 2 && !options_.mirrorAs.empty() && SameName(name, options_.mirrorAs)) {
            // The running system's link, saved as a key: the copy of the control set stands for it.
            report.warnings.push_back("the hive's own key " + Utf8(name) + " was left out: " + Utf8(options_.mirrorAs) +
                                      " is made from the control set that Select\\Current names");
            skipping_ = 1;
            return;
        }
        ++report.keys;
        if (options_.writing && report.keys % kProgressEvery == 0)
            options_.writing(report.keys, keysRead.load(std::memory_order_relaxed));
        CheckName(name);
        // Keys nest at most 512 levels below their root, the hive's below the key it becomes.
        if (targetDepth_ + static_cast<size_t>(depth_) - 1 > kMaxKeyDepth)
            Fail(ERROR_INVALID_PARAMETER, "nested deeper than " + std::to_string(kMaxKeyDepth) +
                                              " levels below the root, more than the registry holds");
        main_.Push(Create(main_.Top(), name));
        if (!mirror_.Empty()) {
            mirror_.Push(Create(mirror_.Top(), name));
        } else if (depth_ == 2 && mirrorRoot_ != nullptr && SameName(name, options_.mirror)) {
            mirror_.Push(mirrorRoot_);
            mirrored = true;
        }
    }

    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        if (skipping_ > 0) return;
        ++report.values;
        if (name.find(u'\0') != std::u16string_view::npos)
            Fail(ERROR_INVALID_PARAMETER, "value \"" + Utf8(name) + "\": a NUL inside the name");
        if (name.size() > kMaxValueName || data.size() > 0xFFFFFFFFu)
            Fail(ERROR_INVALID_PARAMETER, "value \"" + Utf8(name) + "\": " + ErrorText(ERROR_INVALID_PARAMETER));
        Add(main_.Top(), name, type, data);
        if (!mirror_.Empty()) Add(mirror_.Top(), name, type, data);
    }

    void EndKey() override {
        if (skipping_ > 0) {
            --skipping_;
        } else if (depth_ > 1) {
            // A key's handle stays open while values of it wait to be written.
            main_.Pop(closing_);
            if (!mirror_.Empty()) mirror_.Pop(closing_);  // at the mirror's own root, the caller's handle stays open
            if (waiting_.empty()) CloseKeys();
        }
        path_.resize(ends_.back());
        ends_.pop_back();
        --depth_;
    }

    ImportReport report;
    bool mirrored = false;

private:
    [[noreturn]] void Fail(LONG rc, const std::string& what) {
        // The hive's root stands for the target; the names below it follow.
        const std::u16string_view below =
            ends_.size() > 1 ? std::u16string_view(path_).substr(ends_[1]) : std::u16string_view();
        throw StoreError(rc, file_ + ": key " + OneLine(targetName_ + Utf8(below)) + ": " + what);
    }

    void CheckName(std::u16string_view name) {
        // A name the registry cannot hold as one key: it would split, merge with its parent or be cut.
        if (name.empty()) Fail(ERROR_INVALID_PARAMETER, "a key with an empty name");
        if (name.find(u'\\') != std::u16string_view::npos) Fail(ERROR_INVALID_PARAMETER, "a backslash in a key name");
        if (name.find(u'\0') != std::u16string_view::npos) Fail(ERROR_INVALID_PARAMETER, "a NUL inside a key name");
    }

    HKEY Create(HKEY parent, std::u16string_view name) {
        HKEY h = nullptr;
        const LONG rc = StoreTreeCreateKey(parent, name, &h);
        if (rc != ERROR_SUCCESS) Fail(rc, "cannot write the key: " + ErrorText(rc));
        return h;
    }

    // Values wait until there are enough of them for the store to write at once (their data too:
    // what the reader hands over may not outlive the call).
    struct Waiting {
        HKEY key;
        size_t name, nameSize;
        DWORD type;
        size_t data, dataSize;
    };
    static constexpr size_t kWaitingRows = 64;
    static constexpr size_t kWaitingBytes = 1 << 20;

    void Add(HKEY key, std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) {
        waiting_.push_back({key, names_.size(), name.size(), type, bytes_.size(), data.size()});
        names_.append(name);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        if (waiting_.size() >= kWaitingRows || bytes_.size() >= kWaitingBytes) Flush();
    }

    void Flush() {
        rows_.clear();
        for (const Waiting& w : waiting_)
            rows_.push_back({w.key, std::u16string_view(names_).substr(w.name, w.nameSize), w.type,
                             bytes_.data() + w.data, static_cast<DWORD>(w.dataSize)});
        const LONG rc = StoreTreeSetValues(rows_);
        // The values may be of keys before this one: the message names where the reading was.
        if (rc != ERROR_SUCCESS) Fail(rc, "cannot write its values or those before: " + ErrorText(rc));
        waiting_.clear();
        names_.clear();
        bytes_.clear();
        CloseKeys();
    }

    void CloseKeys() {
        for (HKEY h : closing_) RegCloseKey(h);
        closing_.clear();
    }

    const ImportOptions& options_;
    std::string file_;
    std::string targetName_;
    size_t targetDepth_;  // levels of the target key below its root
    KeyStack main_;
    KeyStack mirror_;
    HKEY mirrorRoot_ = nullptr;
    int depth_ = 0;
    int skipping_ = 0;
    std::u16string path_;
    std::vector<size_t> ends_;
    std::vector<Waiting> waiting_;
    std::u16string names_;
    std::vector<std::uint8_t> bytes_;
    std::vector<StoreTreeValue> rows_;
    std::vector<HKEY> closing_;
};

// Finds one DWORD value of one top-level key, and nothing else.
class DwordFinder : public hive::Visitor {
public:
    DwordFinder(const std::u16string& key, const std::u16string& name) : key_(key), name_(name) {}
    void BeginKey(std::u16string_view name, std::u16string_view, std::uint64_t) override {
        ++depth_;
        inKey_ = depth_ == 2 && SameName(name, key_);
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        if (inKey_ && SameName(name, name_) && type == REG_DWORD && data.size() == 4) {
            std::memcpy(&value, data.data(), 4);
            found = true;
        }
    }
    void EndKey() override {
        inKey_ = false;
        --depth_;
    }
    bool found = false;
    DWORD value = 0;

private:
    const std::u16string& key_;
    const std::u16string& name_;
    int depth_ = 0;
    bool inKey_ = false;
};

HKEY CreatePath(HKEY root, const std::u16string& path, const std::string& shown) {
    HKEY h = nullptr;
    const LONG rc =
        RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) throw StoreError(rc, shown + ": cannot write the key: " + ErrorText(rc));
    return h;
}

// Empties a key of the store: its values and subkeys go, the key stays.
void Empty(HKEY key, const std::string& shown) {
    const LONG rc = RegDeleteTreeW(key, nullptr);
    if (rc != ERROR_SUCCESS) throw StoreError(rc, shown + ": cannot replace what the key holds: " + ErrorText(rc));
}

}  // namespace

bool IsHiveFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // What a pipe gives can be read once only: it is no hive here, the reader sees what it is.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    std::uint8_t head[4] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    ::close(fd);
    return n == ssize_t(sizeof head) && hive::format::LooksLikeHive(head);
}

ImportReport ImportHive(const std::string& file, HKEY root, const std::u16string& path, const ImportOptions& options) {
    return ImportTree(
        file, [&](hive::Visitor& v) { return hive::ReadHiveFile(file, v); }, root, path, options);
}

ImportReport ImportTree(const std::string& file, const HiveReader& readTree, HKEY root, const std::u16string& path,
                        const ImportOptions& options) {
    const std::string shown = ShowKey(root, path);
    struct Owned {
        HKEY h = nullptr;
        ~Owned() {
            if (h != nullptr) RegCloseKey(h);
        }
    } target, mirror;
    target.h = CreatePath(root, path, shown);
    Empty(target.h, shown);
    if (!options.mirrorAs.empty()) {
        const std::u16string mirrorPath = path.empty() ? options.mirrorAs : path + u"\\" + options.mirrorAs;
        mirror.h = CreatePath(root, mirrorPath, ShowKey(root, mirrorPath));
        Empty(mirror.h, ShowKey(root, mirrorPath));
    }
    size_t targetDepth = 0;
    for (size_t at = 0; at < path.size();) {
        const size_t end = std::min(path.find(u'\\', at), path.size());
        if (end > at) ++targetDepth;
        at = end + 1;
    }
    StoreWriter writer(file, target.h, shown, targetDepth, options, mirror.h);
    hive::ReadReport read;
    {
        // Every row goes below the target or the mirror, both made and emptied just now.
        StoreTreeUnchecked unchecked(target.h);
        read = hive::ReadAhead(readTree, writer, &writer.keysRead);
        writer.Finish();
        if (const LONG rc = unchecked.Finish(); rc != ERROR_SUCCESS)
            throw StoreError(rc, shown + ": cannot write the keys: " + ErrorText(rc));
    }
    ImportReport report = std::move(writer.report);
    report.warnings.insert(report.warnings.begin(), read.warnings.begin(), read.warnings.end());
    report.logsApplied = read.logsApplied;
    if (!options.mirrorAs.empty() && !writer.mirrored)
        report.warnings.push_back("the hive holds no key " + Utf8(options.mirror) + ": " + Utf8(options.mirrorAs) +
                                  " is left empty");
    return report;
}

bool ReadTopLevelDword(const std::string& file, const std::u16string& key, const std::u16string& name, DWORD& out) {
    return ReadTopLevelDword([&file](hive::Visitor& v) { return hive::ReadHiveFile(file, v); }, key, name, out);
}

bool ReadTopLevelDword(const HiveReader& read, const std::u16string& key, const std::u16string& name, DWORD& out) {
    DwordFinder finder(key, name);
    read(finder);
    out = finder.value;
    return finder.found;
}

std::u16string Utf16(std::string_view text) {
    return Wtf8ToUtf16(text);
}

std::string Utf8(std::u16string_view text) {
    return Utf16ToWtf8(text);
}

}  // namespace hivestore
