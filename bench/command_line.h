#pragma once
// The benchmark programs' command lines, read by CLI11 as regstore's is: each program declares its
// options and their rules; a line that breaks one is named on standard error and ends the program
// with status 2, and --help shows what the program takes.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <optional>

namespace bench {

// Nothing when the program goes on; else the status to end it with (0 after --help).
inline std::optional<int> ParseLine(CLI::App& app, int argc, const char* const* argv) {
    try {
        app.parse(argc, argv);
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
}

// Runs a program's body, `run(argc, argv)`; what escapes it (a declaration CLI11 refuses, memory
// running out) is named on standard error with status 1, rather than ending the program unexplained.
inline int Guarded(const char* program, int (*run)(int, char**), int argc, char** argv) noexcept {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: an unknown exception\n", program);
    }
    return 1;
}

}  // namespace bench
