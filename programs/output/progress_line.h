#pragma once
// How far a long read, or the store's writing after it, is, on one line of a terminal: shown once a
// file has taken more than a second, redrawn at most ten times a second, and cleared when done.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace output {

class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // `program` starts the line ("regstore: reading ..."); nothing is drawn unless `terminal`.
    ProgressLine(std::string program, std::FILE* out, bool terminal);
    static bool IsTerminal(std::FILE* out);
    ~ProgressLine();  // clears a line that is shown
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void operator()(const std::string& file, std::uint64_t done, std::uint64_t total) {
        Update(file, done, total, Clock::now());
    }
    void Update(const std::string& file, std::uint64_t done, std::uint64_t total, Clock::time_point now);
    // The keys of `file` written into the store so far, of those read from it.
    void Written(const std::string& file, std::uint64_t written, std::uint64_t read, Clock::time_point now);
    void Written(const std::string& file, std::uint64_t written, std::uint64_t read) {
        Written(file, written, read, Clock::now());
    }
    // Sources listed so far, of all given: a listing of many.
    void Listed(std::uint64_t done, std::uint64_t total, Clock::time_point now);
    void Listed(std::uint64_t done, std::uint64_t total) { Listed(done, total, Clock::now()); }
    void Clear();

    // What a line says: "regstore: reading NAME: 45% of 185 MiB".
    static std::string Text(const std::string& program, const std::string& file, std::uint64_t done,
                            std::uint64_t total);
    // "regstore: writing NAME into the store: 12000 of 30756 keys read".
    static std::string WrittenText(const std::string& program, const std::string& file, std::uint64_t written,
                                   std::uint64_t read);

    // "regstore: listing: 12 of 50 sources read".
    static std::string ListedText(const std::string& program, std::uint64_t done, std::uint64_t total);

private:
    // Draws `text()` for the task `task` (a file's read or its writing), each timed on its own.
    void Draw(const std::string& task, bool done, Clock::time_point now, const std::function<std::string()>& text);

    std::string program_;
    std::FILE* out_;
    bool terminal_;
    std::string task_;
    Clock::time_point started_{}, drawn_{};
    bool shown_ = false;
};

}  // namespace output
