// An image or a block device as the programs see it: read by the image reader, a separate and
// confined process that holds the image libraries, through frames over a pipe (reader_wire.h). The
// hives' bytes cross; the containers, partitions and file systems stay on the reader's side.
#include "reader_process.h"
#include "source_parts.h"

#include <algorithm>

namespace disk {
namespace {

class RemoteSource;

class RemoteFile : public FileReader {
public:
    RemoteFile(RemoteSource& source, std::uint32_t handle, std::uint64_t size, std::string name)
        : source_(source), handle_(handle), size_(size), name_(std::move(name)) {}
    std::uint64_t Size() const override { return size_; }
    const std::string& Name() const override { return name_; }
    void ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override;

private:
    RemoteSource& source_;
    std::uint32_t handle_;
    std::uint64_t size_;
    std::string name_;
};

class RemoteSource : public Source {
    friend class RemoteFile;

public:
    explicit RemoteSource(const std::string& path) : path_(path), reader_({"image", path}, path) {
        const wire::Frame frame = reader_.Receive("opening it");
        wire::In in(frame.body, path_);
        if (frame.kind != wire::Kind::Inventory) in.Damaged("no inventory");
        const std::uint32_t installations = in.U32();
        if (installations == 0 || installations > wire::kMaxInstallations) in.Damaged("an inventory of no size");
        for (std::uint32_t i = 0; i < installations; ++i) installations_.push_back(wire::GetInstallation(in));
        const std::uint32_t warnings = in.U32();
        if (warnings > wire::kMaxWarnings) in.Damaged("too many warnings");
        for (std::uint32_t i = 0; i < warnings; ++i) warnings_.push_back(in.Text());
        in.End();
    }

    const std::vector<Installation>& Installations() const override { return installations_; }
    const std::vector<std::string>& Warnings() const override { return warnings_; }
    const std::string& Path() const override { return path_; }

    std::uint64_t BytesRead() const override {
        auto& reader = const_cast<ReaderProcess&>(reader_);
        reader.Send(wire::Kind::BytesRead, {}, "counting what it read");
        const wire::Frame frame = reader.Receive("counting what it read");
        wire::In in(frame.body, path_);
        if (frame.kind != wire::Kind::Count) in.Damaged("no count");
        const std::uint64_t n = in.U64();
        in.End();
        return n;
    }

    std::unique_ptr<FileReader> OpenFile(const Installation& inst, std::string_view relative) override {
        const std::string doing = "opening " + std::string(relative) + " of " + Describe(inst);
        wire::Out out;
        out.U32(Index(inst)).Text(relative);
        reader_.Send(wire::Kind::Open, out, doing);
        const wire::Frame frame = reader_.Receive(doing);
        wire::In in(frame.body, path_);
        if (frame.kind == wire::Kind::Absent) return nullptr;
        if (frame.kind != wire::Kind::Opened) in.Damaged("no file");
        const std::uint32_t handle = in.U32();
        const std::uint64_t size = in.U64();
        std::string name = in.Text();
        in.End();
        if (size > kMaxFileBytes) in.Damaged("a file larger than any registry file");
        return std::make_unique<RemoteFile>(*this, handle, size, std::move(name));
    }

private:
    std::uint32_t Index(const Installation& inst) const {
        for (std::size_t i = 0; i < installations_.size(); ++i)
            if (&installations_[i] == &inst ||
                (installations_[i].volume.partition == inst.volume.partition &&
                 installations_[i].volume.offset == inst.volume.offset && installations_[i].folder == inst.folder))
                return std::uint32_t(i);
        throw Error{path_ + ": " + Describe(inst) + ": no installation of this source"};
    }

    std::string path_;
    ReaderProcess reader_;
    std::vector<Installation> installations_;
    std::vector<std::string> warnings_;
};

void RemoteFile::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) {
    if (offset > size_ || length > size_ - offset)
        throw Error{name_ + ": " + std::to_string(length) + " bytes at offset " + std::to_string(offset) +
                    " lie past its end"};
    auto* to = static_cast<std::uint8_t*>(buffer);
    const std::string doing = "reading " + name_;
    for (std::size_t done = 0; done < length;) {
        const std::uint32_t n = std::uint32_t(std::min<std::size_t>(length - done, wire::kMaxRead));
        wire::Out out;
        out.U32(handle_).U64(offset + done).U32(n);
        source_.reader_.Send(wire::Kind::Read, out, doing);
        const wire::Frame frame = source_.reader_.Receive(doing);
        wire::In in(frame.body, name_);
        if (frame.kind != wire::Kind::Bytes) in.Damaged("no bytes");
        const auto bytes = in.Raw();
        in.End();
        if (bytes.size() != n) in.Damaged("not the bytes asked for");
        std::copy(bytes.begin(), bytes.end(), to + done);
        done += n;
    }
}

}  // namespace

std::unique_ptr<Source> OpenImageSource(const std::string& path) {
    return std::make_unique<RemoteSource>(path);
}

}  // namespace disk
