#pragma once
// The image reader's confinement, taken on before it reads a byte of an image or registry file:
// no new privileges and an end with its parent, the file system narrowed by Landlock, system calls
// by a seccomp allow-list (others fail with EPERM), and limits on memory and processor time.
#include <sys/resource.h>

#include <string>
#include <vector>

namespace reader {

// What the reader may use at most. The largest image it reads holds a hive of 2 GiB, which it hands
// over in pieces of 16 MiB at most: its memory is the containers' tables and caches and one piece,
// whatever the size of the image; its processor time is the decoding of one such hive.
constexpr rlim_t kAddressSpace = rlim_t(1) << 30;
constexpr rlim_t kProcessorSeconds = 120;

// Sets what needs no knowledge of the files: no core file, no ptrace by others.
void Harden();

// Confines the process to reading `readable` (files, block devices, or folders whose files and
// subfolders may be read; none: nothing at all). Returns the warning to give where the kernel lacks
// Landlock or seccomp ("" when it has both). Ends the process when the parent has already gone.
std::string Confine(const std::vector<std::string>& readable, pid_t parent);

}  // namespace reader
