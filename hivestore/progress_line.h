#pragma once
// How far a long read is, on one line of a terminal: shown once a file has taken more than a
// second, redrawn at most ten times a second, and cleared when the read is done.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace hivestore {

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
    void Clear();

    // What a line says: "regstore: reading NAME: 45% of 185 MiB".
    static std::string Text(const std::string& program, const std::string& file, std::uint64_t done,
                            std::uint64_t total);

private:
    std::string program_;
    std::FILE* out_;
    bool terminal_;
    std::string file_;
    Clock::time_point started_{}, drawn_{};
    bool shown_ = false;
};

}  // namespace hivestore
