#include "reader_wire.h"

#include "byte_order.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace disk::wire {
namespace {

constexpr std::size_t kHeader = 8;  // kind and length

void Little(std::vector<std::uint8_t>& out, std::uint64_t v, int bytes) {
    out.resize(out.size() + std::size_t(bytes));
    WriteLe(out.data() + out.size() - std::size_t(bytes), v, std::size_t(bytes));
}

std::uint64_t FromLittle(std::span<const std::uint8_t> b) {
    return ReadLe(b.data(), b.size());
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= std::size_t(w);
    }
    return true;
}

// Exactly `n` bytes, or fewer when the pipe ends; -1 when the wait is over or on an error.
ssize_t ReadAll(int fd, std::uint8_t* p, std::size_t n, int timeoutMs) {
    std::size_t done = 0;
    while (done < n) {
        if (timeoutMs >= 0) {
            pollfd pfd{fd, POLLIN, 0};
            const int ready = ::poll(&pfd, 1, timeoutMs);
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return -1;
        }
        const ssize_t r = ::read(fd, p + done, n - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += std::size_t(r);
    }
    return ssize_t(done);
}

}  // namespace

Out& Out::U8(std::uint8_t v) {
    bytes.push_back(v);
    return *this;
}
Out& Out::U32(std::uint32_t v) {
    Little(bytes, v, 4);
    return *this;
}
Out& Out::U64(std::uint64_t v) {
    Little(bytes, v, 8);
    return *this;
}
Out& Out::Text(std::string_view s) {
    U32(std::uint32_t(s.size()));
    bytes.insert(bytes.end(), s.begin(), s.end());
    return *this;
}
Out& Out::Text16(std::u16string_view s) {
    U32(std::uint32_t(s.size()));
    for (char16_t c : s) Little(bytes, c, 2);
    return *this;
}
Out& Out::Raw(std::span<const std::uint8_t> b) {
    U32(std::uint32_t(b.size()));
    bytes.insert(bytes.end(), b.begin(), b.end());
    return *this;
}

void In::Damaged(const std::string& what) const {
    throw Error{from_ + ": " + what + ": a damaged message from the image reader"};
}

std::span<const std::uint8_t> In::Take(std::size_t n) {
    if (n > bytes_.size() - at_) Damaged("a field runs past its frame");
    const auto out = bytes_.subspan(at_, n);
    at_ += n;
    return out;
}
std::uint8_t In::U8() {
    return Take(1)[0];
}
std::uint32_t In::U32() {
    return std::uint32_t(FromLittle(Take(4)));
}
std::uint64_t In::U64() {
    return FromLittle(Take(8));
}
std::string In::Text() {
    const auto b = Take(U32());
    return {b.begin(), b.end()};
}
std::u16string In::Text16() {
    const std::uint32_t units = U32();
    if (units > (bytes_.size() - at_) / 2) Damaged("a name runs past its frame");
    std::u16string s(units, u'\0');
    for (auto& c : s) c = char16_t(FromLittle(Take(2)));
    return s;
}
std::span<const std::uint8_t> In::Raw() {
    return Take(U32());
}
void In::End() {
    if (at_ != bytes_.size()) Damaged("bytes left over in a frame");
}

bool Send(int fd, Kind kind, const Out& body) {
    std::vector<std::uint8_t> head;
    Little(head, std::uint32_t(kind), 4);
    Little(head, std::uint32_t(body.bytes.size()), 4);
    return WriteAll(fd, head.data(), head.size()) && WriteAll(fd, body.bytes.data(), body.bytes.size());
}

bool Send(int fd, Kind kind) {
    return Send(fd, kind, Out{});
}

Got Receive(int fd, Frame& frame, int timeoutMs) {
    std::uint8_t head[kHeader];
    const ssize_t n = ReadAll(fd, head, kHeader, timeoutMs);
    if (n < 0) return Got::TimedOut;
    if (n == 0) return Got::End;
    if (std::size_t(n) < kHeader) return Got::Damaged;
    frame.kind = Kind(FromLittle({head, 4}));
    const std::uint64_t length = FromLittle({head + 4, 4});
    if (length > kMaxFrame) return Got::Damaged;
    frame.body.resize(std::size_t(length));
    const ssize_t got = ReadAll(fd, frame.body.data(), frame.body.size(), timeoutMs);
    if (got < 0) return Got::TimedOut;
    return std::size_t(got) == length ? Got::Frame : Got::Damaged;
}

void Put(Out& out, const Installation& i) {
    out.U32(i.volume.partition).U64(i.volume.offset).Text(i.volume.fileSystem).Text(i.volume.label);
    out.Text(i.folder).U8(std::uint8_t(i.kind)).U8(i.earlier ? 1 : 0);
}

Installation GetInstallation(In& in) {
    Installation i;
    i.volume.partition = in.U32();
    i.volume.offset = in.U64();
    i.volume.fileSystem = in.Text();
    i.volume.label = in.Text();
    i.folder = in.Text();
    const std::uint8_t kind = in.U8();
    if (kind > std::uint8_t(InstallationKind::Win9x)) in.Damaged("an installation of no known kind");
    i.kind = InstallationKind(kind);
    i.earlier = in.U8() != 0;
    return i;
}

}  // namespace disk::wire
