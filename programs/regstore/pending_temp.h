#pragma once
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

namespace regstore {

// A new file under way (an export's, a store's being built), removed by the signals that end the
// program before it is done. One at a time: regstore writes one new file per run.
class PendingTemp {
public:
    PendingTemp() = default;
    PendingTemp(const PendingTemp&) = delete;
    PendingTemp& operator=(const PendingTemp&) = delete;
    ~PendingTemp() { Release(); }

    void Hold(const std::string& path) {
        if (path.size() >= sizeof path_) return;  // too long to keep: the file may then stay
        std::memcpy(path_, path.c_str(), path.size() + 1);
        struct sigaction action {};
        action.sa_handler = Remove;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &action, &before_[i]);
        held_ = 1;
    }
    // Makes the file at `path` with `make` (true when it made it) and holds it, the signals held back
    // meanwhile: one that came after the file was made and before it was held would end the program
    // and leave the file behind; held back, it comes once the file is held, and removes it.
    template <class Make>
    bool HoldMade(const std::string& path, Make make) {
        sigset_t signals, before;
        sigemptyset(&signals);
        for (const int s : kSignals) sigaddset(&signals, s);
        ::pthread_sigmask(SIG_BLOCK, &signals, &before);
        const bool made = make();
        const int error = errno;
        if (made) Hold(path);
        ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
        errno = error;
        return made;
    }
    // As a store build tells it: the new file's path, or "" once it is gone or in place.
    void Follow(const std::string& path) {
        if (path.empty()) Release();
        else Hold(path);
    }
    void Release() {
        if (held_ == 0) return;
        for (size_t i = 0; i < kSignals.size(); ++i) ::sigaction(kSignals[i], &before_[i], nullptr);
        held_ = 0;
    }

private:
    static constexpr std::array<int, 4> kSignals{SIGINT, SIGTERM, SIGHUP, SIGPIPE};
    // Async-signal-safe: unlink, then the signal again with its default action, which ends the program
    // with the status the shell expects of it.
    static void Remove(int signal) {
        if (held_ != 0) ::unlink(path_);
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
    static inline char path_[4096] = {};
    static inline volatile std::sig_atomic_t held_ = 0;
    std::array<struct sigaction, kSignals.size()> before_{};
};

}  // namespace regstore
