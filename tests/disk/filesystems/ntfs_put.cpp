// Test helper: writes into an NTFS volume file (made by mkntfs) without mounting it, through
// libntfs-3g, making the folders on the way (ntfscp cannot).
//   ntfs_put VOLUME put PATH FILE     copy FILE to PATH ('/' between names)
//   ntfs_put VOLUME wof PATH FILE     the same, then mark PATH compressed by Windows (WOF reparse point)
//   ntfs_put VOLUME append PATH FILE  add FILE's bytes at the end of PATH (which exists): written
//                                     after other files, PATH's data then lie in separate runs
//   ntfs_put VOLUME grow PATH BYTES   make PATH (which exists) claim BYTES, the rest a sparse hole
//   ntfs_put VOLUME dirty             set the volume's dirty flag, as an unclean shutdown leaves it
//   ntfs_put VOLUME batch             one mount for many changes, read from stdin one a line, fields
//                                     between tabs (a volume of a real system's size in minutes):
//       dir PATH                 the folders on the way to PATH and PATH itself
//       file PATH BYTES          a new file of BYTES bytes (a pattern), its folders made
//       put PATH FILE            as the command above;  append PATH FILE  too
//       rm PATH                  delete the file PATH: its index entry goes, its record is freed
//       junction PATH TARGET     the folder PATH made a junction to TARGET ("C:\\Windows\\x")
//       symlink PATH TARGET      the file PATH made a symbolic link to TARGET, relative when
//                                TARGET has no drive letter;  symlinkd PATH TARGET  a folder one
#include <sys/stat.h>
#include <sys/types.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>
extern "C" {
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/types.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

// Under the sanitizer build: libntfs-3g keeps a little memory of its own until exit, which is its
// leak, not this helper's.
extern "C" const char* __lsan_default_suppressions() {  // NOLINT(bugprone-reserved-identifier): the sanitizer's name
    return "leak:libntfs-3g.so\n";
}

namespace {

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "ntfs_put: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

// The child `name` of `dir`, made as a folder or file when missing.
ntfs_inode* Child(ntfs_volume* vol, ntfs_inode* dir, const std::string& name, bool folder) {
    ntfschar* uname = nullptr;
    const int len = ntfs_mbstoucs(name.c_str(), &uname);
    if (len <= 0) Die("name " + name);
    const u64 ref = ntfs_inode_lookup_by_name(dir, uname, len);
    ntfs_inode* ni = ref != u64(-1)
                         ? ntfs_inode_open(vol, MREF(ref))
                         : ntfs_create(dir, const_cpu_to_le32(0), uname, u8(len), folder ? S_IFDIR : S_IFREG);
    std::free(uname);
    if (ni == nullptr) Die("create " + name);
    return ni;
}

std::vector<std::string> Parts(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (const char c : path + "/") {
        if (c == '/') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    return parts;
}

// The folder at `path`, made when missing; the last one opened is kept, as a batch works folder by
// folder.
class Folders {
public:
    explicit Folders(ntfs_volume* vol) : vol_(vol) {}
    ~Folders() { Drop(); }
    ntfs_inode* At(const std::vector<std::string>& parts) {
        if (dir_ != nullptr && parts == path_) return dir_;
        Drop();
        ntfs_inode* dir = ntfs_inode_open(vol_, FILE_root);
        for (const std::string& part : parts) {
            ntfs_inode* next = Child(vol_, dir, part, true);
            ntfs_inode_close(dir);
            dir = next;
        }
        path_ = parts;
        return dir_ = dir;
    }
    void Drop() {
        if (dir_ != nullptr) ntfs_inode_close(dir_);
        dir_ = nullptr;
    }

private:
    ntfs_volume* vol_;
    std::vector<std::string> path_;
    ntfs_inode* dir_ = nullptr;
};

void Write(ntfs_inode* file, const std::vector<char>& data, bool append, const std::string& what) {
    ntfs_attr* na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
    if (na == nullptr) Die("data of " + what);
    const s64 at = append ? na->data_size : 0;
    if (!data.empty() && ntfs_attr_pwrite(na, at, s64(data.size()), data.data()) != s64(data.size()))
        Die("write " + what);
    ntfs_attr_close(na);
}

std::vector<char> Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) Die(path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void Le16(std::vector<char>& b, unsigned v) {
    b.push_back(char(v & 0xFF));
    b.push_back(char(v >> 8 & 0xFF));
}

// A reparse point's data as Windows writes them: a junction (mount point) or a symbolic link, the
// substitute name "\??\TARGET" (the target itself when relative) and the print name TARGET.
std::vector<char> LinkData(const std::string& target, bool junction) {
    const bool relative = !junction && !(target.size() > 1 && target[1] == ':');
    const std::string substitute = relative ? target : "\\??\\" + target;
    std::vector<char> names;
    const auto utf16 = [&](const std::string& s) {
        for (const unsigned char c : s) Le16(names, c);
    };
    utf16(substitute);
    const unsigned subBytes = unsigned(names.size());
    if (junction) Le16(names, 0);
    const unsigned printAt = unsigned(names.size());
    utf16(target);
    const unsigned printBytes = unsigned(names.size()) - printAt;
    if (junction) Le16(names, 0);
    std::vector<char> b;
    const unsigned tag = junction ? 0xA0000003 : 0xA000000C;
    b.reserve(16 + names.size());
    for (int i = 0; i < 4; ++i) b.push_back(char(tag >> 8 * i & 0xFF));
    const unsigned header = junction ? 8 : 12;
    Le16(b, header + unsigned(names.size()));
    Le16(b, 0);
    Le16(b, 0);
    Le16(b, subBytes);
    Le16(b, printAt);
    Le16(b, printBytes);
    if (!junction) {
        Le16(b, relative ? 1 : 0);
        Le16(b, 0);
    }
    b.insert(b.end(), names.begin(), names.end());
    return b;
}

void Batch(ntfs_volume* vol) {
    Folders folders(vol);
    std::string line;
    while (std::getline(std::cin, line)) {
        std::vector<std::string> f;
        std::stringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        if (f.size() < 2) continue;
        std::vector<std::string> parts = Parts(f[1]);
        if (parts.empty()) Die("no path in: " + line);
        if (f[0] == "dir") {
            folders.At(parts);
            continue;
        }
        const std::string name = parts.back();
        parts.pop_back();
        ntfs_inode* dir = folders.At(parts);
        if (f[0] == "file" && f.size() == 3) {
            ntfs_inode* file = Child(vol, dir, name, false);
            std::vector<char> data(std::size_t(std::strtoull(f[2].c_str(), nullptr, 10)));
            for (std::size_t i = 0; i < data.size(); ++i) data[i] = char('a' + i % 26);
            Write(file, data, false, f[1]);
            ntfs_inode_close_in_dir(file, dir);
        } else if ((f[0] == "put" || f[0] == "append") && f.size() == 3) {
            ntfs_inode* file = Child(vol, dir, name, false);
            Write(file, Slurp(f[2]), f[0] == "append", f[1]);
            ntfs_inode_close_in_dir(file, dir);
        } else if (f[0] == "rm") {
            ntfschar* uname = nullptr;
            const int len = ntfs_mbstoucs(name.c_str(), &uname);
            const u64 ref = ntfs_inode_lookup_by_name(dir, uname, len);
            if (ref == u64(-1)) Die("rm " + f[1]);
            ntfs_inode* ni = ntfs_inode_open(vol, MREF(ref));
            if (ni == nullptr || ntfs_delete(vol, nullptr, ni, dir, uname, u8(len)) != 0) Die("rm " + f[1]);
            std::free(uname);
        } else if ((f[0] == "junction" || f[0] == "symlink" || f[0] == "symlinkd") && f.size() == 3) {
            ntfs_inode* link = Child(vol, dir, name, f[0] != "symlink");
            const std::vector<char> data = LinkData(f[2], f[0] == "junction");
            if (ntfs_set_ntfs_reparse_data(link, data.data(), data.size(), 0) != 0) Die("reparse point on " + f[1]);
            ntfs_inode_close_in_dir(link, dir);
        } else {
            Die("unknown line: " + line);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ntfs_put VOLUME put|wof PATH FILE | ntfs_put VOLUME dirty\n");
        return 2;
    }
    const std::string command = argv[2];
    // libntfs-3g's own reasons, on stderr, for a change it refuses.
    ntfs_log_set_handler(ntfs_log_handler_stderr);
    ntfs_log_set_levels(NTFS_LOG_LEVEL_PERROR | NTFS_LOG_LEVEL_CRITICAL);
    ntfs_volume* vol = ntfs_mount(argv[1], 0);
    if (vol == nullptr) Die(argv[1]);
    if (command == "batch") {
        Batch(vol);
    } else if (command == "dirty") {
        if (ntfs_volume_write_flags(vol, vol->flags | VOLUME_IS_DIRTY) != 0) Die("dirty flag");
    } else if (command == "append" && argc == 5) {
        std::ifstream in(argv[4], std::ios::binary);
        if (!in) Die(argv[4]);
        const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ntfs_inode* file = ntfs_pathname_to_inode(vol, nullptr, argv[3]);
        if (file == nullptr) Die(argv[3]);
        ntfs_attr* na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
        if (na == nullptr) Die("data of " + std::string(argv[3]));
        if (ntfs_attr_pwrite(na, na->data_size, s64(data.size()), data.data()) != s64(data.size()))
            Die("append to " + std::string(argv[3]));
        ntfs_attr_close(na);
        ntfs_inode_close(file);
    } else if (command == "grow" && argc == 5) {
        ntfs_inode* file = ntfs_pathname_to_inode(vol, nullptr, argv[3]);
        if (file == nullptr) Die(argv[3]);
        ntfs_attr* na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
        if (na == nullptr) Die("data of " + std::string(argv[3]));
        const char last = 1;
        if (ntfs_attr_pwrite(na, std::strtoll(argv[4], nullptr, 10) - 1, 1, &last) != 1)
            Die("grow " + std::string(argv[3]));
        ntfs_attr_close(na);
        ntfs_inode_close(file);
    } else if ((command == "put" || command == "wof") && argc == 5) {
        std::ifstream in(argv[4], std::ios::binary);
        if (!in) Die(argv[4]);
        const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> parts;
        std::string part;
        for (const char* p = argv[3];; ++p) {
            if (*p == '/' || *p == '\0') {
                if (!part.empty()) parts.push_back(part);
                part.clear();
                if (*p == '\0') break;
            } else {
                part += *p;
            }
        }
        ntfs_inode* dir = ntfs_inode_open(vol, FILE_root);
        for (size_t i = 0; i + 1 < parts.size(); ++i) {
            ntfs_inode* next = Child(vol, dir, parts[i], true);
            ntfs_inode_close(dir);
            dir = next;
        }
        ntfs_inode* file = Child(vol, dir, parts.back(), false);
        ntfs_attr* na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
        if (na == nullptr) Die("data of " + std::string(argv[3]));
        if (!data.empty() && ntfs_attr_pwrite(na, 0, s64(data.size()), data.data()) != s64(data.size()))
            Die("write " + std::string(argv[3]));
        ntfs_attr_close(na);
        if (command == "wof") {
            // Tag 0x80000017 and a WOF header (version 1, provider 2 = file, algorithm XPRESS4K).
            const unsigned char reparse[] = {0x17, 0, 0, 0x80, 16, 0, 0, 0, 1, 0, 0, 0,
                                             2,    0, 0, 0,    1,  0, 0, 0, 0, 0, 0, 0};
            if (ntfs_set_ntfs_reparse_data(file, reinterpret_cast<const char*>(reparse), sizeof reparse, 0) != 0)
                Die("reparse point on " + std::string(argv[3]));
        }
        ntfs_inode_close_in_dir(file, dir);
        ntfs_inode_close(dir);
    } else {
        std::fprintf(stderr, "ntfs_put: unknown command %s\n", command.c_str());
        return 2;
    }
    if (ntfs_umount(vol, FALSE) != 0) Die("unmount");
    return 0;
}
