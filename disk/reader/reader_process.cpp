#include "reader_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

extern char** environ;

#ifndef VERSIONINFO_LIBEXEC_RELATIVE
#define VERSIONINFO_LIBEXEC_RELATIVE "../libexec/versioninfo"
#endif

namespace disk {
namespace {

namespace fs = std::filesystem;

// A write to a reader that has ended must not end the program with SIGPIPE: the signal is held
// back in this thread while it writes, and taken off again.
class NoSigpipe {
public:
    NoSigpipe() {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pending_ = sigpending(&before_) == 0 && sigismember(&before_, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &pipe, &old_);
    }
    ~NoSigpipe() {
        sigset_t now;
        if (!pending_ && sigpending(&now) == 0 && sigismember(&now, SIGPIPE) == 1) {
            sigset_t pipe;
            sigemptyset(&pipe);
            sigaddset(&pipe, SIGPIPE);
            const timespec zero{};
            while (sigtimedwait(&pipe, nullptr, &zero) < 0 && errno == EINTR) {}
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    NoSigpipe(const NoSigpipe&) = delete;
    NoSigpipe& operator=(const NoSigpipe&) = delete;

private:
    sigset_t before_{}, old_{};
    bool pending_ = false;
};

}  // namespace

std::string ReaderPath() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path folder = ec ? fs::path(".") : self.parent_path();
    const fs::path beside = folder / wire::kReaderName;
    if (fs::exists(beside, ec)) return beside.string();
    return (folder / VERSIONINFO_LIBEXEC_RELATIVE / wire::kReaderName).lexically_normal().string();
}

ReaderProcess::ReaderProcess(const std::vector<std::string>& arguments, std::string source)
    : source_(std::move(source)) {
    const std::string path = ReaderPath();
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) throw Error{source_ + ": cannot start the image reader: " + std::strerror(errno)};
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw Error{source_ + ": cannot start the image reader: " + std::strerror(errno)};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    // What the libraries print is no message of ours: the reader's own lines come as frames.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    const int rc = posix_spawn(&pid_, path.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
    if (rc != 0) {
        pid_ = -1;
        Finish();
        throw Error{source_ + ": cannot start the image reader " + path + ": " + std::strerror(rc)};
    }
}

ReaderProcess::~ReaderProcess() {
    Finish();
}

void ReaderProcess::Finish() {
    if (to_ >= 0) ::close(to_);
    if (from_ >= 0) ::close(from_);
    to_ = from_ = -1;
    if (pid_ > 0) {
        // Its work is done: it need not finish anything.
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {}
        pid_ = -1;
    }
}

void ReaderProcess::Send(wire::Kind kind, const wire::Out& body, const std::string& doing) {
    bool sent = false;
    {
        const NoSigpipe held;
        sent = to_ >= 0 && wire::Send(to_, kind, body);
    }
    if (!sent) Stopped(doing, false);
}

wire::Frame ReaderProcess::Receive(const std::string& doing) {
    for (;;) {
        wire::Frame frame;
        const wire::Got got = from_ >= 0 ? wire::Receive(from_, frame, kReplySeconds * 1000) : wire::Got::End;
        if (got != wire::Got::Frame) Stopped(doing, got == wire::Got::TimedOut);
        if (frame.kind == wire::Kind::Notice) {
            wire::In in(frame.body, source_);
            std::fprintf(stderr, "%s: warning: %s\n", program_invocation_short_name, in.Text().c_str());
            continue;
        }
        if (frame.kind == wire::Kind::Failed) {
            wire::In in(frame.body, source_);
            throw Error{in.Text()};
        }
        return frame;
    }
}

void ReaderProcess::Stopped(const std::string& doing, bool timedOut) {
    std::string what = "ended without an answer";
    if (pid_ > 0) {
        if (timedOut) ::kill(pid_, SIGKILL);
        int status = 0;
        pid_t r;
        while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {}
        pid_ = -1;
        if (timedOut) {
            what = "took longer than " + std::to_string(kReplySeconds) + " s to answer";
        } else if (r > 0 && WIFSIGNALED(status)) {
            const int sig = WTERMSIG(status);
            what = sig == SIGXCPU ? "used up its processor time"
                                  : "stopped on signal " + std::to_string(sig) + " (" + strsignal(sig) + ")";
        } else if (r > 0 && WIFEXITED(status)) {
            what = "ended with status " + std::to_string(WEXITSTATUS(status)) + " without an answer";
        }
    }
    Finish();
    throw Error{source_ + ": the image reader " + what + " while " + doing + ": a damaged or hostile image"};
}

}  // namespace disk
