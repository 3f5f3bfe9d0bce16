// Raw images, also split into NAME.001, NAME.002, ..., and block devices.
#include "image_files.h"

#include <cerrno>
#include <filesystem>
#include <vector>

namespace disk {
namespace {

namespace fs = std::filesystem;

// Raw, also split: NAME.001 (or .000, .00, ...) followed by the next numbers beside it.
class RawImage : public Image {
public:
    explicit RawImage(const std::string& path) : Image(path) {
        segments_.push_back({std::make_unique<Fd>(path), 0, 0});
        unsigned sector = 0;
        segments_[0].size = SizeOf(segments_[0].fd->get(), path, &sector);
        sector_ = sector;
        std::uint64_t total = segments_[0].size;
        for (const std::string& next : FollowingSegments(path)) {
            auto fd = std::make_unique<Fd>(next);
            const std::uint64_t size = SizeOf(fd->get(), next, nullptr);
            segments_.push_back({std::move(fd), total, size});
            total += size;
        }
        size_ = total;
    }
    std::uint64_t Size() const override { return size_; }
    unsigned SectorSize() const override { return sector_; }
    std::string Format() const override { return segments_.size() > 1 ? "raw (split)" : "raw"; }

    // NAME.001 → NAME.002, NAME.003, ... while they exist (the digits keep their width).
    static std::vector<std::string> FollowingSegments(const std::string& path) {
        std::vector<std::string> out;
        const size_t dot = path.rfind('.');
        if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return out;
        const std::string digits = path.substr(dot + 1);
        if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789") != std::string::npos)
            return out;
        unsigned n = unsigned(std::stoul(digits));
        if (n > 1) return out;
        for (;;) {
            std::string number = std::to_string(++n);
            if (number.size() > digits.size()) break;
            number.insert(0, digits.size() - number.size(), '0');
            const std::string next = path.substr(0, dot + 1) + number;
            std::error_code ec;
            if (!fs::is_regular_file(next, ec)) break;
            out.push_back(next);
        }
        return out;
    }

protected:
    std::size_t ReadSome(std::uint64_t offset, void* buffer, std::size_t length) override {
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::size_t done = 0;
        for (const Segment& s : segments_) {
            if (done == length) break;
            const std::uint64_t at = offset + done;
            if (at < s.start || at >= s.start + s.size) continue;
            const std::size_t want = std::size_t(std::min<std::uint64_t>(length - done, s.start + s.size - at));
            std::size_t got = 0;
            while (got < want) {
                const ssize_t n = ::pread(s.fd->get(), out + done + got, want - got, off_t(at - s.start + got));
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) throw Error{Errno(Name()) + " (at offset " + std::to_string(at + got) + ")"};
                if (n == 0) return done + got;
                got += std::size_t(n);
            }
            done += got;
        }
        return done;
    }

private:
    struct Segment {
        std::unique_ptr<Fd> fd;
        std::uint64_t start, size;
    };
    std::vector<Segment> segments_;
    std::uint64_t size_ = 0;
    unsigned sector_ = 0;
};

}  // namespace

std::unique_ptr<Image> OpenRaw(const std::string& path) {
    return std::make_unique<RawImage>(path);
}

}  // namespace disk
