#include "scratch_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace hivestore {
namespace {

constexpr std::array kEndingSignals = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// One folder at a time is watched; the handler may only read what is set before it is armed.
char g_folder[4096];
volatile std::sig_atomic_t g_armed = 0;
struct sigaction g_before[kEndingSignals.size()];
bool g_installed[kEndingSignals.size()];

// Only async-signal-safe calls: the folder holds a store's files, no folders.
void RemoveFolderFromHandler() {
    for (int pass = 0; pass < 3 && ::rmdir(g_folder) != 0; ++pass) {
        const int fd = ::open(g_folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        alignas(dirent64) char buffer[4096];
        for (ssize_t n; (n = ::getdents64(fd, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    ::unlinkat(fd, entry->d_name, 0);
                at += entry->d_reclen;
            }
        ::close(fd);
    }
}

void OnEndingSignal(int signal) {
    if (g_armed) RemoveFolderFromHandler();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

ScratchFolder::ScratchFolder(const std::string& prefix) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
    if (folder.size() >= sizeof g_folder || ::mkdtemp(folder.data()) == nullptr)
        throw std::runtime_error("cannot make a private folder for a store: " + folder);
    path_ = folder;
    if (g_armed) return;  // another is watched already; this one goes with its destructor only
    std::memcpy(g_folder, path_.c_str(), path_.size() + 1);
    g_armed = 1;
    for (size_t i = 0; i < kEndingSignals.size(); ++i) {
        struct sigaction now {};
        now.sa_handler = OnEndingSignal;
        sigemptyset(&now.sa_mask);
        // A signal the program ignores (SIGINT in a background job) stays ignored.
        g_installed[i] = ::sigaction(kEndingSignals[i], nullptr, &g_before[i]) == 0 &&
                         g_before[i].sa_handler == SIG_DFL && ::sigaction(kEndingSignals[i], &now, nullptr) == 0;
    }
}

void ScratchFolder::Remove() {
    if (path_.empty()) return;
    if (g_armed && path_ == g_folder) {
        for (size_t i = 0; i < kEndingSignals.size(); ++i)
            if (g_installed[i]) ::sigaction(kEndingSignals[i], &g_before[i], nullptr);
        g_armed = 0;
    }
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
    path_.clear();
}

}  // namespace hivestore
