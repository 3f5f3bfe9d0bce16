#include "progress_line.h"

#include <unistd.h>

#include <algorithm>

namespace hivestore {
namespace {

constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

}  // namespace

ProgressLine::ProgressLine(std::string program, std::FILE* out, bool terminal)
    : program_(std::move(program)), out_(out), terminal_(terminal) {}

bool ProgressLine::IsTerminal(std::FILE* out) {
    return ::isatty(::fileno(out)) == 1;
}

ProgressLine::~ProgressLine() {
    Clear();
}

void ProgressLine::Update(const std::string& file, std::uint64_t done, std::uint64_t total, Clock::time_point now) {
    if (!terminal_) return;
    if (file != file_) {
        // Each file's read is timed on its own: only a long one shows.
        file_ = file;
        started_ = now;
        Clear();
        return;
    }
    if (now - started_ < kQuietFor || (shown_ && now - drawn_ < kRedrawEvery && done < total)) return;
    // Back to the line's start, the text, and the rest of an older, longer line erased.
    std::fprintf(out_, "\r%s\033[K", Text(program_, file, done, total).c_str());
    std::fflush(out_);
    shown_ = true;
    drawn_ = now;
}

void ProgressLine::Clear() {
    if (!shown_) return;
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    shown_ = false;
}

std::string ProgressLine::Text(const std::string& program, const std::string& file, std::uint64_t done,
                               std::uint64_t total) {
    const unsigned percent = total == 0 ? 100 : static_cast<unsigned>(std::min(done, total) * 100 / total);
    const std::uint64_t mib = (total + (1u << 20) - 1) >> 20;
    return program + ": reading " + file + ": " + std::to_string(percent) + "% of " + std::to_string(mib) + " MiB";
}

}  // namespace hivestore
