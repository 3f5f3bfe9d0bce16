// Installations read straight from a disk image, against what a user does today: mount the
// volume with ntfs-3g (FUSE) and `cat` the hive. Google Benchmark; counters:
//   image_MiB_read   bytes the source read from the image (after the container's decoding)
//   peak_RSS_MiB     the process's peak resident memory so far
//   hive_MiB         the SOFTWARE hive's size
//   disk_bench --image=DISK.vhdx --volume=VOLUME.ntfs [--mount_dir=DIR] [benchmark flags]
// VOLUME is the NTFS volume inside DISK as a file of its own (ntfs-3g mounts no offset); the mount
// reference is skipped, with the reason, where FUSE or root is missing.
#include "Disk.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string image, volume, mountDir;

double PeakRssMiB() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

const disk::Installation& First(const disk::Source& source) { return source.Installations().front(); }

void FindInstallations(benchmark::State& state) {
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        auto source = disk::Source::Open(image);
        benchmark::DoNotOptimize(source->Installations().size());
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
}

void ReadSoftwareFromImage(benchmark::State& state) {
    std::uint64_t bytes = 0, hive = 0;
    for (auto _ : state) {
        auto source = disk::Source::Open(image);
        const auto file = source->Read(First(*source), "System32/config/SOFTWARE");
        if (!file) {
            state.SkipWithError("no SOFTWARE hive in the image");
            return;
        }
        hive = file->bytes.size();
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
    state.counters["hive_MiB"] = double(hive) / (1 << 20);
    state.counters["peak_RSS_MiB"] = PeakRssMiB();
    state.SetBytesProcessed(std::int64_t(hive) * state.iterations());
}

// `cat MOUNT/Windows/System32/config/SOFTWARE > /dev/null` of the volume mounted by ntfs-3g: a
// fresh mount per iteration, as a user mounts, reads and unmounts.
void CatFromNtfs3gMount(benchmark::State& state) {
    if (::geteuid() != 0) return state.SkipWithError("not root: ntfs-3g cannot mount the volume here");
    if (::access("/dev/fuse", R_OK | W_OK) != 0) return state.SkipWithError("no /dev/fuse: FUSE is unavailable");
    std::filesystem::create_directories(mountDir);
    const std::string mount = "ntfs-3g -o ro '" + volume + "' '" + mountDir + "'";
    std::uint64_t hive = 0;
    std::vector<char> buffer(1 << 20);
    for (auto _ : state) {
        if (std::system(mount.c_str()) != 0) return state.SkipWithError("ntfs-3g could not mount the volume");
        const std::string path = mountDir + "/Windows/System32/config/SOFTWARE";
        const int fd = ::open(path.c_str(), O_RDONLY);
        hive = 0;
        if (fd >= 0) {
            for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) hive += std::uint64_t(n);
            ::close(fd);
        }
        ::umount2(mountDir.c_str(), 0);
        if (fd < 0) return state.SkipWithError("no SOFTWARE hive on the mounted volume");
    }
    state.counters["hive_MiB"] = double(hive) / (1 << 20);
    state.SetBytesProcessed(std::int64_t(hive) * state.iterations());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--image=", 0) == 0) image = arg.substr(8);
        else if (arg.rfind("--volume=", 0) == 0) volume = arg.substr(9);
        else if (arg.rfind("--mount_dir=", 0) == 0) mountDir = arg.substr(12);
        else rest.push_back(argv[i]);
    }
    if (image.empty() || volume.empty()) {
        std::fprintf(stderr, "usage: disk_bench --image=DISK --volume=VOLUME [--mount_dir=DIR] [benchmark flags]\n");
        return 2;
    }
    if (mountDir.empty()) mountDir = std::filesystem::path(volume).parent_path() / ("mnt-" + std::to_string(::getpid()));
    benchmark::RegisterBenchmark("disk/find_installations", FindInstallations)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("disk/read_software_from_image", ReadSoftwareFromImage)->Unit(benchmark::kMillisecond)->UseRealTime();
    benchmark::RegisterBenchmark("disk/cat_software_from_ntfs3g_mount", CatFromNtfs3gMount)->Unit(benchmark::kMillisecond)->UseRealTime();
    int n = int(rest.size());
    benchmark::Initialize(&n, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove(mountDir, ec);
    return 0;
}
