// Linked into the start-up benchmark's builds of the window (never into the product): when Qt has
// painted the first frame of a window and handed it to the display server, the program writes the
// CLOCK_MONOTONIC time in nanoseconds, its peak resident memory in KiB, the number of shared
// libraries it has mapped and its anonymous memory in KiB to the file descriptor
// named by VERSIONINFO_BENCH_FRAME_FD, and exits at once. scripts/bench reads that time against the
// one it took before starting the program.
#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QObject>
#include <QTimer>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#ifdef VERSIONINFO_BENCH_WITH_STORE
#include "registry_store.h"
#endif

namespace {

// A field of a /proc file in KiB ("VmHWM:" of /proc/self/status), or -1.
long ProcKib(const char* file, const char* field) {
    long kib = -1;
    if (FILE* in = std::fopen(file, "r")) {
        char line[256];
        const size_t n = std::strlen(field);
        while (std::fgets(line, sizeof line, in) != nullptr)
            if (std::strncmp(line, field, n) == 0) {
                kib = std::strtol(line + n, nullptr, 10);
                break;
            }
        std::fclose(in);
    }
    return kib;
}

// The peak resident set of this program. getrusage would also count the process it was forked
// from, whose peak survives exec.
long PeakResidentKib() {
    return ProcKib("/proc/self/status", "VmHWM:");
}

// This program's own memory now: what no file backs (heap, stacks, its writable data). The rest of
// its resident set is pages of files (programs, libraries, fonts) that the kernel shares with the
// page cache.
long AnonymousKib() {
    return ProcKib("/proc/self/smaps_rollup", "Anonymous:");
}

// The shared libraries mapped into this program: the distinct files of /proc/self/maps named *.so*.
long SharedLibraries() {
    std::set<std::string> seen;
    if (FILE* maps = std::fopen("/proc/self/maps", "r")) {
        char line[4096];
        while (std::fgets(line, sizeof line, maps) != nullptr) {
            const char* path = std::strchr(line, '/');
            if (path == nullptr || std::strstr(path, ".so") == nullptr) continue;
            std::string name(path);
            if (!name.empty() && name.back() == '\n') name.pop_back();
            seen.insert(name);
        }
        std::fclose(maps);
    }
    return long(seen.size());
}

class FirstFrame : public QObject {
public:
    explicit FirstFrame(int fd) : fd_(fd) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType() && !seen_) {
            seen_ = true;
            // The paint events of one frame are delivered together and then flushed to the window;
            // a zero timer runs once that is over.
            QTimer::singleShot(0, [this] { Report(); });
        }
        return false;
    }

private:
    void Report() {
        QGuiApplication::sync();  // the display server has taken the frame
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long long ns = static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
        dprintf(fd_, "%lld %ld %ld %ld\n", ns, PeakResidentKib(), SharedLibraries(), AnonymousKib());
        std::_Exit(0);
    }

    int fd_;
    bool seen_ = false;
};

void InstallFirstFrameProbe() {
#ifdef VERSIONINFO_BENCH_WITH_STORE
    // The installed program's store is fixed at build time; the benchmark points it at its own.
    if (const char* store = std::getenv("VERSIONINFO_BENCH_STORE")) UseRegistryStore(store);
#endif
    const char* fd = std::getenv("VERSIONINFO_BENCH_FRAME_FD");
    if (fd == nullptr) return;
    QCoreApplication::instance()->installEventFilter(new FirstFrame(int(std::strtol(fd, nullptr, 10))));
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(InstallFirstFrameProbe)
