#include "confine.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <linux/landlock.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace reader {
namespace {

// Landlock's rights by the version of its interface that brought them; the kernel refuses a right
// newer than it knows.
constexpr std::uint64_t kFsV1 = (std::uint64_t(1) << 13) - 1;      // execute ... make symlink
constexpr std::uint64_t kFsRefer = std::uint64_t(1) << 13;         // version 2
constexpr std::uint64_t kFsTruncate = std::uint64_t(1) << 14;      // version 3
constexpr std::uint64_t kFsIoctlDev = std::uint64_t(1) << 15;      // version 5
constexpr std::uint64_t kNetBindConnect = 3;                       // version 4: bind and connect TCP
constexpr std::uint64_t kReadFile = LANDLOCK_ACCESS_FS_READ_FILE;  // what the reader is given
constexpr std::uint64_t kReadDir = LANDLOCK_ACCESS_FS_READ_DIR;

// The ruleset's attributes as the newest kernels take them; older ones are given a shorter prefix.
struct RulesetAttr {
    std::uint64_t fs;
    std::uint64_t net;
};

// False where the kernel has no Landlock.
bool Landlock(const std::vector<std::string>& readable) {
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    if (abi < 1) return false;
    RulesetAttr attr{kFsV1, 0};
    if (abi >= 2) attr.fs |= kFsRefer;
    if (abi >= 3) attr.fs |= kFsTruncate;
    if (abi >= 5) attr.fs |= kFsIoctlDev;
    if (abi >= 4) attr.net = kNetBindConnect;
    const std::size_t size = abi >= 4 ? sizeof attr : sizeof attr.fs;
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0) return false;
    for (const std::string& path : readable) {
        const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0) continue;  // a file that is not there cannot be read either way
        struct stat st {};
        landlock_path_beneath_attr rule{};
        rule.parent_fd = fd;
        const bool known = ::fstat(fd, &st) == 0;
        rule.allowed_access = known && S_ISDIR(st.st_mode) ? kReadFile | kReadDir : kReadFile;
        // A block device is measured by ioctl (its size, its sector size), which version 5 confines.
        if (known && S_ISBLK(st.st_mode) && abi >= 5) rule.allowed_access |= kFsIoctlDev;
        syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
        ::close(fd);
    }
    const bool done = syscall(SYS_landlock_restrict_self, ruleset, 0) == 0;
    ::close(ruleset);
    if (!done) std::_Exit(1);  // no_new_privs is set: this cannot fail but for a fault of ours
    return true;
}

// The system calls the reader makes once confined: reading, memory, its pipe and stderr, its end.
// Everything else (opening for writing, sockets, exec, ptrace, new processes) fails with EPERM.
bool Seccomp() {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (ctx == nullptr) return false;
    bool ok = true;
    const auto allow = [&](int call, unsigned count = 0, scmp_arg_cmp a = {}, scmp_arg_cmp b = {}) {
        const int rc = count == 0   ? seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 0)
                       : count == 1 ? seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 1, a)
                                    : seccomp_rule_add(ctx, SCMP_ACT_ALLOW, call, 2, a, b);
        ok = ok && rc == 0;
    };
    for (int call : {SCMP_SYS(read),           SCMP_SYS(pread64),    SCMP_SYS(readv),         SCMP_SYS(preadv),
                     SCMP_SYS(lseek),          SCMP_SYS(close),      SCMP_SYS(fstat),         SCMP_SYS(newfstatat),
                     SCMP_SYS(statx),          SCMP_SYS(stat),       SCMP_SYS(lstat),         SCMP_SYS(readlink),
                     SCMP_SYS(readlinkat),     SCMP_SYS(getdents64), SCMP_SYS(access),        SCMP_SYS(faccessat),
                     SCMP_SYS(faccessat2),     SCMP_SYS(fcntl),      SCMP_SYS(mmap),          SCMP_SYS(munmap),
                     SCMP_SYS(mremap),         SCMP_SYS(brk),        SCMP_SYS(madvise),       SCMP_SYS(mprotect),
                     SCMP_SYS(futex),          SCMP_SYS(getrandom),  SCMP_SYS(clock_gettime), SCMP_SYS(gettimeofday),
                     SCMP_SYS(getpid),         SCMP_SYS(gettid),     SCMP_SYS(getuid),        SCMP_SYS(geteuid),
                     SCMP_SYS(getgid),         SCMP_SYS(getegid),    SCMP_SYS(getcwd),        SCMP_SYS(rt_sigreturn),
                     SCMP_SYS(rt_sigprocmask), SCMP_SYS(exit),       SCMP_SYS(exit_group)})
        allow(call);
    // Files are opened to be read only: no writing, making, truncating or appending.
    const scmp_datum_t writeFlags = O_ACCMODE | O_CREAT | O_TRUNC | O_APPEND | __O_TMPFILE;
    allow(SCMP_SYS(openat), 1, SCMP_A2(SCMP_CMP_MASKED_EQ, writeFlags, O_RDONLY));
    allow(SCMP_SYS(open), 1, SCMP_A1(SCMP_CMP_MASKED_EQ, writeFlags, O_RDONLY));
    // Its answers on stdout, a message on stderr.
    for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        allow(SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd)));
        allow(SCMP_SYS(writev), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(fd)));
    }
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' runtime tells readable memory by writing it into a pipe of its own.
    allow(SCMP_SYS(pipe2));
    allow(SCMP_SYS(sigaltstack));
    allow(SCMP_SYS(write));
#endif
    // A block device's size; its limits read, never set; abort() signals itself alone.
    allow(SCMP_SYS(ioctl), 1, SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(BLKGETSIZE64)));
    allow(SCMP_SYS(ioctl), 1, SCMP_A1(SCMP_CMP_EQ, scmp_datum_t(BLKSSZGET)));
    allow(SCMP_SYS(prlimit64), 1, SCMP_A2(SCMP_CMP_EQ, 0));
    allow(SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(::getpid())));
    ok = ok && seccomp_load(ctx) == 0;
    seccomp_release(ctx);
    return ok;
}

}  // namespace

void Harden() {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

std::string Confine(const std::vector<std::string>& readable, pid_t parent) {
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (::getppid() != parent) std::_Exit(1);  // the parent ended before the signal was asked for
    const bool landlock = Landlock(readable);
#ifndef __SANITIZE_ADDRESS__  // AddressSanitizer's shadow memory alone reserves terabytes of addresses
    const rlimit memory{kAddressSpace, kAddressSpace};
    ::setrlimit(RLIMIT_AS, &memory);
#endif
    const rlimit cpu{kProcessorSeconds, kProcessorSeconds + 1};
    ::setrlimit(RLIMIT_CPU, &cpu);
    const bool seccomp = Seccomp();
    if (landlock && seccomp) return "";
    const std::string missing = !landlock && !seccomp ? "Landlock and seccomp" : !landlock ? "Landlock" : "seccomp";
    return "this kernel offers no " + missing + ": the image reader runs without " +
           (!landlock && !seccomp ? "them" : "it");
}

}  // namespace reader
