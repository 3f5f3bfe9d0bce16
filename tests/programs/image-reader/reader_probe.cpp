// A library preloaded (LD_PRELOAD) into the image reader, or into any program for comparison. On the
// first read of the image that READER_PROBE_IMAGE names (its device and inode, noted when the library
// is loaded), it does what READER_PROBE says:
//   escape  tries four ways out and prints one line each on stderr, "probe: WHAT: allowed" or
//           "probe: WHAT: refused (REASON)": reading /etc/passwd, making READER_PROBE_FILE for
//           writing, connecting to 127.0.0.1:READER_PROBE_PORT, running /bin/true
//   signal  raises signal READER_PROBE_SIGNAL at the image's READER_PROBE_AFTER-th read (default 1)
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

dev_t imageDev = 0;
ino_t imageIno = 0;
bool armed = false;
int reads = 0;

__attribute__((constructor)) void Load() {
    const char* image = std::getenv("READER_PROBE_IMAGE");
    struct stat st {};
    if (image != nullptr && ::stat(image, &st) == 0) {
        imageDev = st.st_dev;
        imageIno = st.st_ino;
        armed = true;
    }
}

// The number in environment variable `name`, else `otherwise`.
long Number(const char* name, long otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtol(text, nullptr, 10) : otherwise;
}

void Say(const char* what, bool allowed, int error) {
    if (allowed) std::fprintf(stderr, "probe: %s: allowed\n", what);
    else std::fprintf(stderr, "probe: %s: refused (%s)\n", what, std::strerror(error));
}

void Escape() {
    int fd = ::open("/etc/passwd", O_RDONLY | O_CLOEXEC);
    Say("read /etc/passwd", fd >= 0, errno);
    if (fd >= 0) ::close(fd);

    const char* file = std::getenv("READER_PROBE_FILE");
    fd = ::open(file != nullptr ? file : "probe-written", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    Say("write a file in the test's folder", fd >= 0, errno);
    if (fd >= 0) ::close(fd);

    bool connected = false;
    int error = 0;
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(std::uint16_t(Number("READER_PROBE_PORT", 0)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected = ::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
        error = errno;
        ::close(s);
    } else {
        error = errno;
    }
    Say("connect to the test's listener", connected, error);

    // In a child where one may be made; else in place, where a success would end this process.
    const pid_t child = ::fork();
    if (child == 0) {
        char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execv("/bin/true", argv);
        ::_exit(127);
    }
    if (child < 0) {
        char* const argv[] = {const_cast<char*>("/bin/true"), nullptr};
        ::execv("/bin/true", argv);
        Say("run /bin/true", false, errno);
    } else {
        int status = 0;
        ::waitpid(child, &status, 0);
        Say("run /bin/true", WIFEXITED(status) && WEXITSTATUS(status) == 0, ENOEXEC);
    }
}

void Seen(int fd) {
    if (!armed) return;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_dev != imageDev || st.st_ino != imageIno) return;
    const std::string mode = std::getenv("READER_PROBE") ?: "";
    ++reads;
    if (mode == "escape") {
        armed = false;
        Escape();
    } else if (mode == "signal" && reads >= Number("READER_PROBE_AFTER", 1)) {
        armed = false;
        ::raise(int(Number("READER_PROBE_SIGNAL", 9)));
    }
}

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t n) {
    static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
    Seen(fd);
    return next(fd, buffer, n);
}

extern "C" ssize_t pread64(int fd, void* buffer, size_t n, off64_t at) {
    static const auto next = Next<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
    Seen(fd);
    return next(fd, buffer, n, at);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t n, off_t at) {
    return pread64(fd, buffer, n, at);
}
