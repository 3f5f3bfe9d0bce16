// Installations read straight from a disk image, against what a user does today: mount the
// volume with ntfs-3g (FUSE) and `cat` the hive. Google Benchmark; counters:
//   image_MiB_read   bytes the source read from the image (after the container's decoding)
//   peak_RSS_MiB     the process's peak resident memory so far
//   hive_MiB         the SOFTWARE hive's size
//   keys_and_values  keys and values read on demand (those an answer needs: see FindAndQueryKeys)
//   disk_bench --image=DISK.vhdx --volume=VOLUME.ntfs [--mount_dir=DIR] [--disk=LABEL=PATH ...]
//              [benchmark flags]
// VOLUME is the NTFS volume inside DISK as a file of its own (ntfs-3g mounts no offset); the mount
// reference is skipped, with the reason, where FUSE or root is missing. Each --disk (a disk shaped as
// years of use leave one, tests/disk/make_real_disk.sh) gets the finding and the version keys on
// demand, as disk/LABEL/..., with their bytes read, and each installation's details as list-windows
// reads them (installations: how many).
#include "command_line.h"
#include "details.h"
#include "disk.h"
#include "hive.h"
#include "memory_registry.h"
#include "windows_import.h"

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

const disk::Installation& First(const disk::Source& source) {
    return source.Installations().front();
}

void FindInstallations(benchmark::State& state) {
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        auto source = disk::Source::Open(image);
        benchmark::DoNotOptimize(source->Installations().size());
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
}

// Paths in SOFTWARE that an answer needs, chosen once from the whole hive: the deepest key under the
// last top-level key (its cells lie near the end of the file) and under the first.
std::vector<std::vector<std::u16string>> softwarePaths;

struct Deepest : hive::Visitor {
    std::vector<std::u16string> at, first, last;
    std::size_t depth = 0;
    void BeginKey(std::u16string_view name, std::u16string_view, std::uint64_t) override {
        if (depth++ > 0) at.emplace_back(name);
        if (at.empty()) return;
        if (first.empty() || (at.front() == first.front() && at.size() > first.size())) first = at;
        if (last.empty() || at.front() != last.front() || at.size() > last.size()) last = at;
    }
    void Value(std::u16string_view, std::uint32_t, std::span<const std::uint8_t>) override {}
    void EndKey() override {
        if (--depth > 0) at.pop_back();
    }
};

// Keys and values of a few keys of one hive, read on demand through the source.
std::size_t QueryHive(disk::Source& source, const disk::Installation& inst, const char* hive,
                      const std::vector<std::vector<std::u16string>>& paths) {
    struct Count : hive::Visitor {
        std::size_t values = 0;
        void BeginKey(std::u16string_view, std::u16string_view, std::uint64_t) override { ++values; }
        void Value(std::u16string_view, std::uint32_t, std::span<const std::uint8_t>) override { ++values; }
        void EndKey() override {}
    } count;
    const std::string relative = std::string("System32/config/") + hive;
    auto file = source.OpenFile(inst, relative);
    if (!file) return 0;
    std::vector<std::uint8_t> base(4096);
    file->ReadAt(0, base.data(), std::min<std::uint64_t>(base.size(), file->Size()));
    std::vector<disk::File> logs;
    if (hive::NeedsLogs(base))
        if (auto h = source.ReadHive(inst, relative)) logs = std::move(h->logs);
    std::vector<hive::NamedBytes> named;
    named.reserve(logs.size());
    for (const auto& log : logs) named.push_back({log.name, log.bytes});
    hive::ReadHiveKeys(
        file->Name(), file->Size(),
        [&](std::uint64_t offset, void* out, std::size_t length) { file->ReadAt(offset, out, length); }, named, paths,
        count);
    return count.values;
}

// What list-windows needs: the installations, then a few keys of SOFTWARE and SYSTEM read on demand.
void FindAndQueryKeys(benchmark::State& state) {
    std::uint64_t bytes = 0;
    std::size_t values = 0;
    const std::vector<std::vector<std::u16string>> systemPaths{{u"Select"}};
    for (auto _ : state) {
        auto source = disk::Source::Open(image);
        values = QueryHive(*source, First(*source), "SOFTWARE", softwarePaths) +
                 QueryHive(*source, First(*source), "SYSTEM", systemPaths);
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
    state.counters["keys_and_values"] = double(values);
}

// What list-windows reads of a disk: the installations, then the version keys of each (the keys
// the window and an inventory read), on demand.
void FindAndQueryVersionKeys(benchmark::State& state, const std::string& path) {
    const std::vector<std::vector<std::u16string>> software{{u"Microsoft", u"Windows NT", u"CurrentVersion"},
                                                            {u"Microsoft", u"Windows", u"CurrentVersion"}};
    const std::vector<std::vector<std::u16string>> system{
        {u"Select"}, {u"ControlSet001", u"Control", u"ProductOptions"}, {u"ControlSet001", u"Control", u"Windows"}};
    std::uint64_t bytes = 0;
    std::size_t values = 0;
    for (auto _ : state) {
        auto source = disk::Source::Open(path);
        values = 0;
        for (const auto& inst : source->Installations())
            values += QueryHive(*source, inst, "SOFTWARE", software) + QueryHive(*source, inst, "SYSTEM", system);
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
    state.counters["keys_and_values"] = double(values);
}

// What list-windows reads of a disk for the details: the installations, then of each the version and
// detail keys on demand (Extent::Details) into a registry in memory, read back.
void FindAndReadDetails(benchmark::State& state, const std::string& path) {
    std::uint64_t bytes = 0;
    std::size_t installations = 0, profiles = 0;
    for (auto _ : state) {
        auto source = disk::Source::Open(path);
        installations = source->Installations().size();
        profiles = 0;
        for (const auto& inst : source->Installations()) {
            const ScopedMemoryRegistry inMemory;
            installations::ImportWindows(*source, inst, installations::Extent::Details);
            const auto details = installations::ReadDetails();
            profiles += details.profiles ? details.profiles->size() : 0;
            benchmark::DoNotOptimize(details.updates);
        }
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
    state.counters["installations"] = double(installations);
    state.counters["profiles"] = double(profiles);
}

// What import-windows reads of a disk: the installation in use, then its SOFTWARE and SYSTEM hives
// and their logs whole. The bytes read beyond those files are what finding them cost.
void FindAndReadHives(benchmark::State& state, const std::string& path) {
    std::uint64_t bytes = 0, files = 0;
    for (auto _ : state) {
        auto source = disk::Source::Open(path);
        files = 0;
        for (const char* hive : {"System32/config/SOFTWARE", "System32/config/SYSTEM"}) {
            const auto read = source->ReadHive(First(*source), hive);
            if (!read) return state.SkipWithError("no hive in the installation");
            files += read->primary.bytes.size();
            for (const auto& log : read->logs) files += log.bytes.size();
        }
        bytes = source->BytesRead();
    }
    state.counters["image_MiB_read"] = double(bytes) / (1 << 20);
    state.counters["beyond_hives_MiB"] = double(bytes - std::min(bytes, files)) / (1 << 20);
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

static int Main(int argc, char** argv) {
    // Google Benchmark takes its own flags off the line first.
    benchmark::Initialize(&argc, argv);
    CLI::App app("Installations read straight from a disk image.", "disk_bench");
    std::vector<std::string> disksGiven;  // LABEL=PATH
    // What to read: the image with its volume, or disks, or both.
    CLI::Option_group* what = app.add_option_group("disks", "what to read");
    CLI::Option* imageOption = what->add_option("--image", image, "the disk image")->type_name("DISK");
    CLI::Option* volumeOption =
        what->add_option("--volume", volume, "the NTFS volume inside DISK, as a file")->type_name("VOLUME");
    imageOption->needs(volumeOption);
    volumeOption->needs(imageOption);
    what->add_option("--mount_dir", mountDir, "where the volume is mounted")->type_name("DIR")->needs(imageOption);
    what->add_option("--disk", disksGiven, "a disk shaped as years of use leave one")
        ->type_name("LABEL=PATH")
        ->check(CLI::Validator(
            [](const std::string& text) { return text.find('=') == std::string::npos ? "no = in " + text : ""; }, ""));
    what->require_option(1, 0);
    if (const auto status = bench::ParseLine(app, argc, argv)) return *status;
    std::vector<std::pair<std::string, std::string>> disks;  // label, path
    disks.reserve(disksGiven.size());
    for (const auto& given : disksGiven)
        disks.emplace_back(given.substr(0, given.find('=')), given.substr(given.find('=') + 1));
    if (!image.empty()) {
        if (mountDir.empty())
            mountDir = std::filesystem::path(volume).parent_path() / ("mnt-" + std::to_string(::getpid()));
        auto source = disk::Source::Open(image);
        const auto software = source->Read(First(*source), "System32/config/SOFTWARE");
        if (software) {
            Deepest deepest;
            hive::ReadHive({software->name, software->bytes}, {}, deepest);
            softwarePaths = {deepest.first, deepest.last};
        }
        benchmark::RegisterBenchmark("disk/find_installations", FindInstallations)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("disk/find_and_query_keys_on_demand", FindAndQueryKeys)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("disk/read_software_from_image", ReadSoftwareFromImage)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark("disk/cat_software_from_ntfs3g_mount", CatFromNtfs3gMount)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    for (const auto& [label, path] : disks) {
        benchmark::RegisterBenchmark(("disk/" + label + "/find_and_query_version_keys").c_str(),
                                     FindAndQueryVersionKeys, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("disk/" + label + "/find_and_read_details").c_str(), FindAndReadDetails, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("disk/" + label + "/find_and_read_hives").c_str(), FindAndReadHives, path)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    if (!mountDir.empty()) std::filesystem::remove(mountDir, ec);
    return 0;
}

int main(int argc, char** argv) {
    return bench::Guarded("disk_bench", Main, argc, argv);
}
