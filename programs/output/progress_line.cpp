#include "progress_line.h"

#include <unistd.h>

#include <algorithm>

namespace output {
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
    Draw(file, done >= total, now, [&] { return Text(program_, file, done, total); });
}

void ProgressLine::Written(const std::string& file, std::uint64_t written, std::uint64_t read, Clock::time_point now) {
    Draw("writing " + file, written >= read, now, [&] { return WrittenText(program_, file, written, read); });
}

void ProgressLine::Listed(std::uint64_t done, std::uint64_t total, Clock::time_point now) {
    Draw("listing", done >= total, now, [&] { return ListedText(program_, done, total); });
}

void ProgressLine::Draw(const std::string& task, bool done, Clock::time_point now,
                        const std::function<std::string()>& text) {
    if (!terminal_) return;
    if (task != task_) {
        // Each task is timed on its own: only a long one shows.
        task_ = task;
        started_ = now;
        Clear();
        return;
    }
    if (now - started_ < kQuietFor || (shown_ && now - drawn_ < kRedrawEvery && !done)) return;
    // Back to the line's start, the text, and the rest of an older, longer line erased.
    std::fprintf(out_, "\r%s\033[K", text().c_str());
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

std::string ProgressLine::WrittenText(const std::string& program, const std::string& file, std::uint64_t written,
                                      std::uint64_t read) {
    return program + ": writing " + file + " into the store: " + std::to_string(written) + " of " +
           std::to_string(std::max(written, read)) + " keys read";
}

std::string ProgressLine::ListedText(const std::string& program, std::uint64_t done, std::uint64_t total) {
    return program + ": listing: " + std::to_string(done) + " of " + std::to_string(total) + " sources read";
}

}  // namespace output
