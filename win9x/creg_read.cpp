// Windows 9x registry files through libcreg: the key tree walked depth first, names and text turned
// into UTF-16 in the installation's code page.
#include "code_page.h"
#include "creg_check.h"
#include "creg_format.h"
#include "hex.h"
#include "win9x.h"

#include <libcreg.h>

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

namespace win9x {
namespace {

constexpr std::uint32_t kString = 1, kExpandString = 2, kMultiString = 7;  // REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ

// What libcreg says went wrong: its innermost message, which names the record at fault.
std::string Why(libcreg_error_t*& error) {
    std::string text = "libcreg cannot read it";
    if (error != nullptr) {
        char buffer[4096] = {};
        if (libcreg_error_sprint(error, buffer, sizeof buffer) > 0) {
            text = buffer;
            while (!text.empty() && (text.back() == '\n' || text.back() == '.')) text.pop_back();
            // libcreg lists its messages from the innermost, one a line.
            if (const std::size_t line = text.find('\n'); line != std::string::npos) text.resize(line);
            // It starts with the function that failed, which says nothing to the user.
            if (text.rfind("libcreg_", 0) == 0 && text.find(": ") != std::string::npos)
                text.erase(0, text.find(": ") + 2);
        }
        libcreg_error_free(&error);
    }
    return text;
}

std::string Offset(std::uint64_t offset) {
    return "offset " + Hex(offset);
}

template <typename T, int (*Free)(T**, libcreg_error_t**)>
class Owned {
public:
    Owned() = default;
    ~Owned() {
        if (p_ != nullptr) Free(&p_, nullptr);
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    T** Out() { return &p_; }
    T* Get() const { return p_; }

private:
    T* p_ = nullptr;
};
using Key = Owned<libcreg_key_t, libcreg_key_free>;
using Value = Owned<libcreg_value_t, libcreg_value_free>;

class Reader {
public:
    Reader(const std::string& path, hive::Visitor& visitor, unsigned codePage)
        : path_(path), visitor_(visitor), text_(codePage), codePage_(codePage) {}

    void Read(std::span<const std::uint8_t> bytes) {
        CheckCreg(path_, bytes);
        libcreg_error_t* error = nullptr;
        // libcreg reads the bytes in place, through a libbfio handle on them; it never writes them.
        if (libbfio_memory_range_initialize(&bytes_, nullptr) != 1 ||
            libbfio_memory_range_set(bytes_, const_cast<std::uint8_t*>(bytes.data()), bytes.size(), nullptr) != 1)
            Fail("out of memory");
        if (libcreg_file_initialize(&file_, &error) != 1) Fail(Why(error));
        if (libcreg_file_open_file_io_handle(file_, bytes_, LIBCREG_OPEN_READ, &error) != 1) {
            libcreg_file_free(&file_, nullptr);
            file_ = nullptr;
            Fail("not a Windows 95, 98 or Me registry file libcreg can read: " + Why(error));
        }
        Key root;
        if (libcreg_file_get_root_key(file_, root.Out(), &error) != 1) Fail("no root key: " + Why(error));
        if (libcreg_file_is_corrupted(file_, nullptr) == 1) Fail("libcreg finds it damaged");
        Walk(root.Get(), u"");
    }

    ~Reader() {
        if (file_ != nullptr) {
            libcreg_file_close(file_, nullptr);
            libcreg_file_free(&file_, nullptr);
        }
        if (bytes_ != nullptr) libbfio_handle_free(&bytes_, nullptr);
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

private:
    [[noreturn]] void Fail(const std::string& what) { throw CregError(path_ + ": " + what); }

    // A key named by its path, for messages.
    [[noreturn]] void FailAt(off64_t offset, const std::string& what) {
        std::string key = "the root key";
        if (!path16_.empty()) {
            key = "key ";
            for (char16_t c : path16_) key += c < 0x80 ? static_cast<char>(c) : '?';
        }
        Fail(Offset(static_cast<std::uint64_t>(offset)) + ": " + key + ": " + what);
    }

    std::u16string Text(std::string_view bytes, off64_t offset, const char* what) {
        std::u16string out;
        std::size_t at = 0;
        if (!text_.ToUtf16(bytes, out, at))
            FailAt(offset, std::string(what) + ": byte " + std::to_string(at) + " (" +
                               Hex(static_cast<unsigned char>(bytes[at]), 2) + ") is no text in code page " +
                               std::to_string(codePage_) + " (--codepage names another)");
        return out;
    }

    // The bytes a libcreg getter gives, without the NUL it adds to a name.
    template <typename T>
    std::string Bytes(T* item, int (*size)(T*, size_t*, libcreg_error_t**),
                      int (*get)(T*, uint8_t*, size_t, libcreg_error_t**), off64_t offset, const char* what,
                      bool name) {
        libcreg_error_t* error = nullptr;
        size_t n = 0;
        if (size(item, &n, &error) != 1) FailAt(offset, std::string("cannot read its ") + what + ": " + Why(error));
        std::string bytes(n, '\0');
        if (n > 0 && get(item, reinterpret_cast<uint8_t*>(bytes.data()), n, &error) != 1)
            FailAt(offset, std::string("cannot read its ") + what + ": " + Why(error));
        if (name && !bytes.empty() && bytes.back() == '\0') bytes.pop_back();
        return bytes;
    }

    void Walk(libcreg_key_t* key, std::u16string_view name) {
        libcreg_error_t* error = nullptr;
        off64_t offset = 0;
        libcreg_key_get_offset(key, &offset, nullptr);
        if (libcreg_key_is_corrupted(key, nullptr) == 1) FailAt(offset, "libcreg finds the key damaged");
        visitor_.BeginKey(name, u"", 0);
        int values = 0;
        if (libcreg_key_get_number_of_values(key, &values, &error) != 1)
            FailAt(offset, "cannot read its values: " + Why(error));
        for (int i = 0; i < values; ++i) {
            Value value;
            if (libcreg_key_get_value_by_index(key, i, value.Out(), &error) != 1)
                FailAt(offset, "cannot read value " + std::to_string(i) + ": " + Why(error));
            off64_t at = offset;
            libcreg_value_get_offset(value.Get(), &at, nullptr);
            const std::u16string valueName =
                Text(Bytes(value.Get(), libcreg_value_get_name_size, libcreg_value_get_name, at, "value's name", true),
                     at, "a value's name");
            std::uint32_t type = 0;
            if (libcreg_value_get_value_type(value.Get(), &type, &error) != 1)
                FailAt(at, "cannot read the type of a value: " + Why(error));
            std::string data = Bytes(value.Get(), libcreg_value_get_value_data_size, libcreg_value_get_value_data, at,
                                     "value's data", false);
            if (type == kString || type == kExpandString || type == kMultiString) {
                const std::u16string text = Text(data, at, "the text of a value");
                data.assign(reinterpret_cast<const char*>(text.data()), text.size() * 2);  // UTF-16LE on this host
            }
            visitor_.Value(valueName, type, {reinterpret_cast<const std::uint8_t*>(data.data()), data.size()});
        }
        int children = 0;
        if (libcreg_key_get_number_of_sub_keys(key, &children, &error) != 1)
            FailAt(offset, "cannot read its subkeys: " + Why(error));
        for (int i = 0; i < children; ++i) {
            Key child;
            if (libcreg_key_get_sub_key_by_index(key, i, child.Out(), &error) != 1)
                FailAt(offset, "cannot read subkey " + std::to_string(i) + ": " + Why(error));
            off64_t at = offset;
            libcreg_key_get_offset(child.Get(), &at, nullptr);
            const std::u16string childName = Text(Bytes(child.Get(), libcreg_key_get_name_size, libcreg_key_get_name,
                                                        at, ("subkey " + std::to_string(i) + "'s name").c_str(), true),
                                                  at, "a subkey's name");
            const std::size_t end = path16_.size();
            if (!path16_.empty()) path16_ += u'\\';
            path16_ += childName;
            Walk(child.Get(), childName);
            path16_.resize(end);
        }
        visitor_.EndKey();
    }

    const std::string& path_;
    hive::Visitor& visitor_;
    CodePageText text_;
    unsigned codePage_;
    libbfio_handle_t* bytes_ = nullptr;
    libcreg_file_t* file_ = nullptr;
    std::u16string path16_;
};

// What a refusal adds when the copy of the file's last good state is there.
std::string BackupNote(const std::string& backup) {
    return "; " + backup + ", the copy of its last good state that Windows kept, is there";
}

void ReadBytes(const RegistryFile& file, std::span<const std::uint8_t> bytes, hive::Visitor& visitor,
               unsigned codePage) {
    try {
        Reader(file.path, visitor, codePage).Read(bytes);
    } catch (const CregError& e) {
        if (file.backup.empty()) throw;
        throw CregError(e.what() + BackupNote(file.backup));
    }
}

}  // namespace

void ReadRegistryFile(const RegistryFile& file, hive::Visitor& visitor, unsigned codePage) {
    if (file.bytes) return ReadBytes(file, *file.bytes, visitor, codePage);
    const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CregError(file.path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw CregError(file.path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw CregError(file.path + ": not a file");
    const auto size = static_cast<std::size_t>(st.st_size);
    if (size == 0) return ReadBytes(file, {}, visitor, codePage);
    void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) throw CregError(file.path + ": " + std::strerror(errno));
    struct Unmap {
        void* p;
        std::size_t n;
        ~Unmap() { ::munmap(p, n); }
    } unmap{map, size};
    ReadBytes(file, {static_cast<const std::uint8_t*>(map), size}, visitor, codePage);
}

}  // namespace win9x
