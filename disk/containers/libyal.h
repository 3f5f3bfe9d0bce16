#pragma once
// One handle of a libyal container library (libqcow, libvhdi): opened read-only, closed and freed
// also when a constructor throws half-way, its reads and errors in the words of the image's other
// messages. `Lib` names the library's functions (QcowLibrary, VhdiLibrary).
#include "disk.h"

#include <cstdint>
#include <cstring>
#include <string>

namespace disk {

// The library's error, its last line, what was wrong; the error freed.
template <typename ErrorT, typename Print, typename Free>
std::string LibraryMessage(ErrorT* error, Print print, Free release) {
    if (error == nullptr) return "unreadable";
    char text[512] = {};
    print(error, text, sizeof text);
    release(&error);
    // The libraries chain "function: message" lines; the last one says what was wrong.
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    if (const size_t nl = s.rfind('\n'); nl != std::string::npos) s = s.substr(nl + 1);
    if (const size_t colon = s.find(": "); colon != std::string::npos) s = s.substr(colon + 2);
    return s;
}

template <typename Lib>
class LibyalFile {
public:
    static constexpr std::uint64_t kNowhere = ~std::uint64_t(0);

    // Opens `path`; `openFault` follows the library's message when the file is no image it reads.
    LibyalFile(const std::string& path, const char* openFault) : name_(path) {
        typename Lib::Error* error = nullptr;
        if (Lib::Initialize(&file_, &error) != 1) Fail(error);
        if (Lib::Open(file_, path.c_str(), &error) != 1) {
            // No destructor runs for a constructor that throws: the handle goes here.
            Lib::Free(&file_, nullptr);
            file_ = nullptr;
            Fail(error, kNowhere, openFault);
        }
    }
    ~LibyalFile() {
        if (file_ == nullptr) return;
        Lib::Close(file_, nullptr);
        Lib::Free(&file_, nullptr);
    }
    LibyalFile(const LibyalFile&) = delete;
    LibyalFile& operator=(const LibyalFile&) = delete;

    typename Lib::File* get() const { return file_; }

    // One line naming the image (and the offset), the library's reason, and `meaning`.
    [[noreturn]] void Fail(typename Lib::Error* error, std::uint64_t offset = kNowhere,
                           const char* meaning = "") const {
        const std::string where = offset == kNowhere ? "" : " (at offset " + std::to_string(offset) + ")";
        throw Error{name_ + where + ": " + LibraryMessage(error, Lib::Print, Lib::FreeError) + meaning};
    }

    std::uint64_t MediaSize() const {
        typename Lib::Error* error = nullptr;
        typename Lib::Size media = 0;
        if (Lib::MediaSize(file_, &media, &error) != 1) Fail(error);
        return media;
    }

    // A UTF-8 name the file holds, read through `size` and `get` (the library's pair for it);
    // "" when it has none.
    template <typename Size, typename Get>
    std::string Utf8Name(Size size, Get get) const {
        typename Lib::Error* error = nullptr;
        std::size_t bytes = 0;
        if (size(file_, &bytes, &error) != 1 || bytes < 2) {
            if (error != nullptr) Lib::FreeError(&error);
            return "";
        }
        std::string name(bytes, '\0');
        if (get(file_, reinterpret_cast<std::uint8_t*>(name.data()), bytes, &error) != 1) Fail(error);
        name.resize(std::strlen(name.c_str()));
        return name;
    }

    // Reads through `parent` where this file holds no data of its own.
    void SetParent(const LibyalFile& parent) {
        typename Lib::Error* error = nullptr;
        if (Lib::SetParent(file_, parent.file_, &error) != 1) Fail(error);
    }

    std::size_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const {
        typename Lib::Error* error = nullptr;
        const ssize_t n = Lib::Read(file_, buffer, length, typename Lib::Offset(offset), &error);
        if (n < 0) Fail(error, offset, ": a truncated or damaged image");
        return std::size_t(n);
    }

private:
    std::string name_;
    typename Lib::File* file_ = nullptr;
};

}  // namespace disk
