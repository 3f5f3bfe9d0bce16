#pragma once
// What passes between a program and the image reader, the separate process that reads disk images
// and Windows 9x registry files: frames over a pipe, each a kind and a length (4 bytes each, little
// endian) and that many bytes. Each side checks every length it is given against the limits below
// before it reserves or reads anything, and every field against what is left of its frame.
#include "disk.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace disk::wire {

enum class Kind : std::uint32_t {
    // The reader to the program.
    Inventory = 1,  // the installations and the warnings of a source opened
    Opened = 2,     // a file opened: its handle, size and name
    Absent = 3,     // no such file
    Bytes = 4,      // bytes read from a file
    Count = 5,      // the bytes read from the image so far
    Failed = 6,     // one line: what could not be read (a disk::Error or win9x::CregError)
    Notice = 7,     // one line the user should see: confinement the kernel does not offer
    BeginKey = 8,   // a registry file's tree, as hive::Visitor hands it over
    Value = 9,
    EndKey = 10,
    Done = 11,  // the tree is whole
    // The program to the reader.
    Open = 20,       // a file of an installation
    Read = 21,       // bytes of a file opened
    BytesRead = 22,  // how many bytes the image has given
    Registry = 23,   // a Windows 9x registry file to read: its name, backup, code page and bytes
};

// The largest frame, which the largest piece of a file read or a registry file sent fits in.
constexpr std::uint32_t kMaxFrame = (std::uint32_t(64) << 20) + 4096;
// The largest read asked for at once (Source::Read reads in pieces of 8 MiB).
constexpr std::uint32_t kMaxRead = std::uint32_t(16) << 20;
// The largest Windows 9x registry file sent to be read (Windows 98 stops well below it).
constexpr std::uint32_t kMaxRegistryFile = std::uint32_t(64) << 20;
// Installations and warnings in an inventory; keys nested in a registry file's tree.
constexpr std::uint32_t kMaxInstallations = 4096;
constexpr std::uint32_t kMaxWarnings = 4096;
constexpr std::uint32_t kMaxDepth = 1024;

// The program's name, in messages and where it is installed.
constexpr const char* kReaderName = "regstore-image-reader";

// A frame's content, built field by field.
class Out {
public:
    Out& U8(std::uint8_t v);
    Out& U32(std::uint32_t v);
    Out& U64(std::uint64_t v);
    Out& Text(std::string_view s);                  // length, then bytes
    Out& Text16(std::u16string_view s);             // length in units, then the units
    Out& Raw(std::span<const std::uint8_t> bytes);  // length, then bytes
    std::vector<std::uint8_t> bytes;
};

// A frame received, read field by field; a field running past the frame throws Error naming `from`.
class In {
public:
    In(std::span<const std::uint8_t> bytes, std::string from) : bytes_(bytes), from_(std::move(from)) {}
    std::uint8_t U8();
    std::uint32_t U32();
    std::uint64_t U64();
    std::string Text();
    std::u16string Text16();
    std::span<const std::uint8_t> Raw();
    // Throws unless every byte was read.
    void End();
    [[noreturn]] void Damaged(const std::string& what) const;

private:
    std::span<const std::uint8_t> Take(std::size_t n);
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
    std::string from_;
};

// Writes a whole frame to `fd`. False when the other end is gone.
bool Send(int fd, Kind kind, const Out& body);
bool Send(int fd, Kind kind);

struct Frame {
    Kind kind{};
    std::vector<std::uint8_t> body;
};
enum class Got { Frame, End, Damaged, TimedOut };
// Reads one frame from `fd`, waiting at most `timeoutMs` (-1: as long as it takes) for each piece.
// End: the other side closed the pipe before a frame began. Damaged: a length beyond kMaxFrame, or
// the pipe closed inside a frame.
Got Receive(int fd, Frame& frame, int timeoutMs = -1);

// An installation and its volume, field by field.
void Put(Out& out, const Installation& installation);
Installation GetInstallation(In& in);

}  // namespace disk::wire
