// Windows 9x registry files as the programs read them: libcreg runs in the image reader, a separate
// and confined process, which is sent the file's bytes and hands back its tree in frames
// (reader_wire.h). The tree is checked on the way: keys nested no deeper than kMaxDepth, every key
// ended, nothing after the end.
#include "reader_process.h"
#include "win9x.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace win9x {
namespace {

std::vector<std::uint8_t> ReadWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw CregError(path + ": " + std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) throw CregError(path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) throw CregError(path + ": not a file");
    if (std::uint64_t(st.st_size) > disk::wire::kMaxRegistryFile)
        throw CregError(path + ": " + std::to_string(st.st_size) + " bytes, more than a Windows 9x registry holds");
    std::vector<std::uint8_t> bytes(std::size_t(st.st_size));
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw CregError(path + ": " + std::strerror(errno));
        if (n == 0) break;
        done += std::size_t(n);
    }
    return bytes;
}

void ReadThroughReader(const RegistryFile& file, std::span<const std::uint8_t> bytes, hive::Visitor& visitor,
                       unsigned codePage) {
    namespace wire = disk::wire;
    if (bytes.size() > wire::kMaxRegistryFile)
        throw CregError(file.path + ": " + std::to_string(bytes.size()) +
                        " bytes, more than a Windows 9x registry holds");
    disk::ReaderProcess reader({"registry"}, file.path);
    wire::Out request;
    request.Text(file.path).Text(file.backup).U32(codePage).Raw(bytes);
    const std::string doing = "reading it with libcreg";
    reader.Send(wire::Kind::Registry, request, doing);
    std::uint32_t depth = 0;
    bool begun = false;
    for (;;) {
        const wire::Frame frame = reader.Receive(doing);
        wire::In in(frame.body, file.path);
        switch (frame.kind) {
            case wire::Kind::BeginKey: {
                if (begun && depth == 0) in.Damaged("a second root key");
                if (++depth > wire::kMaxDepth) in.Damaged("keys nested too deep");
                begun = true;
                const std::u16string name = in.Text16(), className = in.Text16();
                const std::uint64_t written = in.U64();
                in.End();
                visitor.BeginKey(name, className, written);
                break;
            }
            case wire::Kind::Value: {
                if (depth == 0) in.Damaged("a value outside any key");
                const std::u16string name = in.Text16();
                const std::uint32_t type = in.U32();
                const auto data = in.Raw();
                in.End();
                visitor.Value(name, type, data);
                break;
            }
            case wire::Kind::EndKey:
                if (depth == 0) in.Damaged("a key ended that was not begun");
                in.End();
                --depth;
                visitor.EndKey();
                break;
            case wire::Kind::Done:
                if (!begun || depth != 0) in.Damaged("a tree ended before its keys");
                in.End();
                return;
            default:
                in.Damaged("a frame of no tree");
        }
    }
}

}  // namespace

void ReadRegistryFile(const RegistryFile& file, hive::Visitor& visitor, unsigned codePage) {
    try {
        if (file.bytes) return ReadThroughReader(file, *file.bytes, visitor, codePage);
        const std::vector<std::uint8_t> bytes = ReadWhole(file.path);
        ReadThroughReader(file, bytes, visitor, codePage);
    } catch (const disk::Error& e) {
        // The reader's refusal of the file, or the reader stopped: either way the file is not read.
        throw CregError(e.what());
    }
}

}  // namespace win9x
