// Test helper: writes into an NTFS volume file (made by mkntfs) without mounting it, through
// libntfs-3g, making the folders on the way (ntfscp cannot).
//   ntfs_put VOLUME put PATH FILE     copy FILE to PATH ('/' between names)
//   ntfs_put VOLUME wof PATH FILE     the same, then mark PATH compressed by Windows (WOF reparse point)
//   ntfs_put VOLUME append PATH FILE  add FILE's bytes at the end of PATH (which exists): written
//                                     after other files, PATH's data then lie in separate runs
//   ntfs_put VOLUME grow PATH BYTES   make PATH (which exists) claim BYTES, the rest a sparse hole
//   ntfs_put VOLUME dirty             set the volume's dirty flag, as an unclean shutdown leaves it
#include <sys/stat.h>
#include <sys/types.h>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
#undef min
#undef max

// Under the sanitizer build: libntfs-3g keeps a little memory of its own until exit, which is its
// leak, not this helper's.
extern "C" const char* __lsan_default_suppressions() { return "leak:libntfs-3g.so\n"; }

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
    ntfs_inode* ni = ref != u64(-1) ? ntfs_inode_open(vol, MREF(ref))
                                    : ntfs_create(dir, const_cpu_to_le32(0), uname, u8(len), folder ? S_IFDIR : S_IFREG);
    std::free(uname);
    if (ni == nullptr) Die("create " + name);
    return ni;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: ntfs_put VOLUME put|wof PATH FILE | ntfs_put VOLUME dirty\n");
        return 2;
    }
    const std::string command = argv[2];
    ntfs_volume* vol = ntfs_mount(argv[1], 0);
    if (vol == nullptr) Die(argv[1]);
    if (command == "dirty") {
        if (ntfs_volume_write_flags(vol, vol->flags | VOLUME_IS_DIRTY) != 0) Die("dirty flag");
    } else if (command == "append" && argc == 5) {
        std::ifstream in(argv[4], std::ios::binary);
        if (!in) Die(argv[4]);
        const std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ntfs_inode* file = ntfs_pathname_to_inode(vol, nullptr, argv[3]);
        if (file == nullptr) Die(argv[3]);
        ntfs_attr* na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
        if (na == nullptr) Die("data of " + std::string(argv[3]));
        if (ntfs_attr_pwrite(na, na->data_size, s64(data.size()), data.data()) != s64(data.size())) Die("append to " + std::string(argv[3]));
        ntfs_attr_close(na);
        ntfs_inode_close(file);
    } else if (command == "grow" && argc == 5) {
        ntfs_inode* file = ntfs_pathname_to_inode(vol, nullptr, argv[3]);
        if (file == nullptr) Die(argv[3]);
        ntfs_attr* na = ntfs_attr_open(file, AT_DATA, AT_UNNAMED, 0);
        if (na == nullptr) Die("data of " + std::string(argv[3]));
        const char last = 1;
        if (ntfs_attr_pwrite(na, std::strtoll(argv[4], nullptr, 10) - 1, 1, &last) != 1) Die("grow " + std::string(argv[3]));
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
        if (ntfs_attr_pwrite(na, 0, s64(data.size()), data.data()) != s64(data.size())) Die("write " + std::string(argv[3]));
        ntfs_attr_close(na);
        if (command == "wof") {
            // Tag 0x80000017 and a WOF header (version 1, provider 2 = file, algorithm XPRESS4K).
            const unsigned char reparse[] = {0x17, 0, 0, 0x80, 16, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
                                             1, 0, 0, 0, 0, 0, 0, 0};
            if (ntfs_set_ntfs_reparse_data(file, reinterpret_cast<const char*>(reparse), sizeof reparse, 0) != 0)
                Die("reparse point on " + std::string(argv[3]));
        }
        ntfs_inode_close(file);
        ntfs_inode_close(dir);
    } else {
        std::fprintf(stderr, "ntfs_put: unknown command %s\n", command.c_str());
        return 2;
    }
    if (ntfs_umount(vol, FALSE) != 0) Die("unmount");
    return 0;
}
