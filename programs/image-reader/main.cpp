// regstore-image-reader: reads disk images, block devices and Windows 9x registry files for
// versioninfo and regstore, in a process of its own that holds the image libraries and confines
// itself before it reads a byte of what it is given. It speaks in frames (disk/reader_wire.h) on its
// stdin and stdout; it is not meant to be started by hand.
//
//   regstore-image-reader image SOURCE   the inventory of SOURCE, then files read on request
//   regstore-image-reader registry       a Windows 9x registry file sent on stdin, its tree back
#include "code_page.h"
#include "confine.h"
#include "reader_wire.h"
#include "source_parts.h"
#include "win9x.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace wire = disk::wire;
namespace fs = std::filesystem;

constexpr int kIn = STDIN_FILENO, kOut = STDOUT_FILENO;

void Send(wire::Kind kind, const wire::Out& body = {}) {
    if (!wire::Send(kOut, kind, body)) std::_Exit(1);  // the program has gone
}

void Fail(const std::string& line) {
    Send(wire::Kind::Failed, wire::Out().Text(line));
}

void Notice(const std::string& line) {
    if (!line.empty()) Send(wire::Kind::Notice, wire::Out().Text(line));
}

// What the image's libraries may open by name: the image's own folder, where split segments,
// E01 segments, extents, parents and backing files lie beside it; a block device alone.
std::vector<std::string> Readable(const std::string& source) {
    std::error_code ec;
    const fs::path path = fs::canonical(source, ec);
    if (ec) return {};
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) return {path.string()};
    return {path.parent_path().string()};
}

int ServeImage(const std::string& path, pid_t parent) {
    Notice(reader::Confine(Readable(path), parent));
    std::unique_ptr<disk::Source> source;
    try {
        source = disk::OpenImageSource(path);
    } catch (const disk::Error& e) {
        Fail(e.what());
        return 0;
    }
    const auto& installations = source->Installations();
    wire::Out inventory;
    inventory.U32(std::uint32_t(std::min<std::size_t>(installations.size(), wire::kMaxInstallations)));
    for (std::size_t i = 0; i < installations.size() && i < wire::kMaxInstallations; ++i)
        wire::Put(inventory, installations[i]);
    const auto& warnings = source->Warnings();
    inventory.U32(std::uint32_t(std::min<std::size_t>(warnings.size(), wire::kMaxWarnings)));
    for (std::size_t i = 0; i < warnings.size() && i < wire::kMaxWarnings; ++i) inventory.Text(warnings[i]);
    Send(wire::Kind::Inventory, inventory);

    std::vector<std::unique_ptr<disk::FileReader>> files;
    std::vector<std::uint8_t> buffer;
    for (;;) {
        wire::Frame frame;
        if (wire::Receive(kIn, frame) != wire::Got::Frame) return 0;  // the program is done
        wire::In in(frame.body, path);
        try {
            switch (frame.kind) {
                case wire::Kind::Open: {
                    const std::uint32_t index = in.U32();
                    const std::string relative = in.Text();
                    in.End();
                    if (index >= installations.size()) in.Damaged("no such installation");
                    auto file = source->OpenFile(installations[index], relative);
                    if (!file) {
                        Send(wire::Kind::Absent);
                        break;
                    }
                    Send(wire::Kind::Opened,
                         wire::Out().U32(std::uint32_t(files.size())).U64(file->Size()).Text(file->Name()));
                    files.push_back(std::move(file));
                    break;
                }
                case wire::Kind::Read: {
                    const std::uint32_t handle = in.U32();
                    const std::uint64_t offset = in.U64();
                    const std::uint32_t length = in.U32();
                    in.End();
                    if (handle >= files.size() || length > wire::kMaxRead) in.Damaged("a read of no file");
                    buffer.resize(length);
                    files[handle]->ReadAt(offset, buffer.data(), length);
                    Send(wire::Kind::Bytes, wire::Out().Raw(buffer));
                    break;
                }
                case wire::Kind::BytesRead:
                    in.End();
                    Send(wire::Kind::Count, wire::Out().U64(source->BytesRead()));
                    break;
                default:
                    in.Damaged("a request of no kind");
            }
        } catch (const disk::Error& e) {
            Fail(e.what());
        }
    }
}

// Hands the tree over as it is read.
class TreeSender : public hive::Visitor {
public:
    void BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t written) override {
        Send(wire::Kind::BeginKey, wire::Out().Text16(name).Text16(className).U64(written));
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        Send(wire::Kind::Value, wire::Out().Text16(name).U32(type).Raw(data));
    }
    void EndKey() override { Send(wire::Kind::EndKey); }
};

int ServeRegistry(pid_t parent) {
    wire::Frame frame;
    if (wire::Receive(kIn, frame) != wire::Got::Frame || frame.kind != wire::Kind::Registry) return 1;
    try {
        wire::In in(frame.body, "the registry file");
        win9x::RegistryFile file;
        file.path = in.Text();
        file.backup = in.Text();
        const unsigned codePage = in.U32();
        const auto bytes = in.Raw();
        in.End();
        if (bytes.size() > wire::kMaxRegistryFile) in.Damaged("a file larger than a Windows 9x registry");
        file.bytes = bytes;
        // The code page's conversion is loaded now, while its module may still be opened.
        const win9x::CodePageText loaded(codePage);
        Notice(reader::Confine({}, parent));
        TreeSender sender;
        win9x::ReadRegistryFile(file, sender, codePage);
        Send(wire::Kind::Done);
    } catch (const win9x::CregError& e) {
        Fail(e.what());
    } catch (const disk::Error& e) {
        Fail(e.what());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const pid_t parent = ::getppid();
    reader::Harden();
    if (argc == 3 && std::strcmp(argv[1], "image") == 0) return ServeImage(argv[2], parent);
    if (argc == 2 && std::strcmp(argv[1], "registry") == 0) return ServeRegistry(parent);
    std::fprintf(stderr, "%s: started by versioninfo and regstore, not by hand\n", wire::kReaderName);
    return 2;
}
