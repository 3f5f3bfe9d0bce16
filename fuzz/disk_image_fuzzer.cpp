// Any bytes as a disk image: the partition walk on them as a disk in memory, then the whole source
// (tables, volumes, the folders searched, the hives read) through a memory file. The signature of a
// container (QCOW2, VHD, VHDX, VMDK, E01) is spoiled first, so that the bytes reach our own code as
// a raw disk: a fault inside a container library is that library's (see library-faults/). Either the source opens with
// installations whose files read or are refused by disk::Error, or it is refused by disk::Error naming the file; never
// a crash, and never a file larger than kMaxFileBytes.
#include "disk.h"
#include "layout.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "disk_image_fuzzer: %s\n", what);
        std::abort();
    }
}

void WalkInMemory(const std::uint8_t* data, std::size_t size) {
    try {
        const auto table = disk::layout::ReadTable(
            [&](std::uint64_t offset, void* out, std::size_t length) {
                if (offset > size || length > size - offset) throw disk::Error{"past the end"};
                std::memcpy(out, data + offset, length);
            },
            size, 0);
        Check(table.sectorSize == 512 || table.sectorSize == 4096, "a sector size other than 512 or 4096");
        Check(table.slices.size() <= disk::layout::kMaxGptEntries + 4 + disk::layout::kMaxLogical,
              "more slices than a table holds");
    } catch (const disk::Error&) {}
}

// The signatures disk::OpenImage takes for a container.
bool ContainerSignature(const std::uint8_t* data, std::size_t size) {
    for (const std::string_view magic :
         {std::string_view("QFI\xfb"), std::string_view("vhdxfile"), std::string_view("conectix"),
          std::string_view("KDMV"), std::string_view("COWD"), std::string_view("# Disk"), std::string_view("EVF\x09"),
          std::string_view("LVF\x09")})
        if (size >= magic.size() && std::memcmp(data, magic.data(), magic.size()) == 0) return true;
    return size >= 512 && std::memcmp(data + size - 512, "conectix", 8) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    WalkInMemory(data, size);
    std::vector<std::uint8_t> copy;
    if (ContainerSignature(data, size)) {
        copy.assign(data, data + size);
        copy[0] ^= 0x80;
        if (size > 512) copy[size - 512] ^= 0x80;  // at 512 bytes the footer is the first byte, spoiled once
        data = copy.data();
    }

    const int fd = ::memfd_create("disk_image_fuzzer", MFD_CLOEXEC);
    Check(fd >= 0, "memfd_create");
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        Check(n > 0, "write to the memory file");
        done += std::size_t(n);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        auto source = disk::Source::Open(path);
        Check(!source->Installations().empty(), "a source opened without installations");
        for (const auto& inst : source->Installations()) {
            for (const char* relative : {"System32/config/SOFTWARE", "System32/config/SYSTEM", "SYSTEM.DAT"}) {
                try {
                    const auto hive = source->ReadHive(inst, relative);
                    if (hive) {
                        Check(hive->primary.bytes.size() <= disk::kMaxFileBytes, "a file beyond kMaxFileBytes");
                    }
                } catch (const disk::Error& e) {
                    Check(std::string(e.what()).find(path) != std::string::npos,
                          "a refusal that does not name the image");
                }
            }
        }
    } catch (const disk::Error& e) {
        Check(std::string(e.what()).find(path) == 0, "a refusal that does not name the image");
    }
    ::close(fd);
    return 0;
}
