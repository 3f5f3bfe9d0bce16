// Sources read through the disk library: every container, layout and refusal on images that
// tests/disk/make_images.sh makes before these tests run (DISK_IMAGES), and disk images found in a
// folder by their content.
#include "disk.h"
#include "find_disks.h"
#include "image.h"
#include "image_kind.h"
#include "installation_title.h"
#include "layout.h"
#include "layout_format.h"
#include "modWindowsVersion.h"
#include "registry_store.h"
#include "win9x.h"
#include "windows_import.h"

#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

namespace {

namespace fs = std::filesystem;
const std::string kImages = DISK_IMAGES;

std::vector<std::uint8_t> Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "2 NTFS System Windows": partition, file system, label ("-" for none), folder; " 9x" for Win9x.
std::string Row(const disk::Installation& i) {
    return std::to_string(i.volume.partition) + " " + i.volume.fileSystem + " " +
           (i.volume.label.empty() ? "-" : i.volume.label) + " " + i.folder +
           (i.kind == disk::InstallationKind::Win9x ? " 9x" : "") + (i.earlier ? " earlier" : "");
}

// The hives make_images.sh wrote into each installation, by its volume's label and folder.
std::string HivesOf(const disk::Installation& i) {
    if (i.folder == "WINNT" || i.folder.rfind("Windows.old.000", 0) == 0) return "hxp";
    if (i.folder.rfind("Windows.old", 0) == 0) return "h7";
    return "h10";
}

// The logs make_images.sh wrote beside a hive: SYSTEM.LOG1 on vol.ntfs, both logs (empty) of both
// hives on the disks shaped as Windows leaves them.
std::size_t LogsOf(const std::string& image, const disk::Installation& i, const std::string& hive) {
    if (i.folder != "Windows" || i.volume.label != "System") return 0;
    if (image.rfind("real", 0) == 0) return 2;
    return hive == "SYSTEM" ? 1 : 0;
}

// The Windows 9x registry make_images.sh wrote into each 9x installation, by its volume's label, and
// the version code the window shows for it.
std::pair<std::string, int> Windows9xOf(const disk::Installation& i) {
    if (i.volume.label == "WINME") return {"hme", 7};
    if (i.volume.label == "WIN95") return {"h95", 3};
    return {"h98", 6};
}

// The installation imported into a store of its own: the version code the window then shows, or
// the refusal.
std::string ImportedCode(disk::Source& source, const disk::Installation& installation,
                         installations::Extent extent = installations::Extent::Whole,
                         std::vector<std::string>* warnings = nullptr) {
    std::string folder = (fs::temp_directory_path() / "disk-test-XXXXXX").string();
    if (::mkdtemp(folder.data()) == nullptr) return "no temporary folder";
    UseRegistryStore(folder + "/registry.db");
    std::string result;
    try {
        auto imported = installations::ImportWindows(source, installation, extent, {}, win9x::kDefaultCodePage);
        if (warnings != nullptr) *warnings = std::move(imported.warnings);
        result = std::to_string(GetWindowsVersion());
    } catch (const std::exception& e) {
        result = e.what();
    }
    UseRegistryStore(DefaultRegistryStorePath());
    fs::remove_all(folder);
    return result;
}

struct SourceCase {
    const char* image;
    std::vector<std::string> installations;  // in the order the source gives them
    const char* error = "";                  // what Open's message holds, when it refuses
    const char* warning = "";                // what one warning holds
    const char* readError = "";              // what reading the first installation's SOFTWARE (or
                                             // importing a Windows 9x one) says
};

void PrintTo(const SourceCase& c, std::ostream* os) {
    *os << c.image;
}

const std::vector<std::string> kMbr{"1 FAT12 WIN98 Windows 9x", "2 NTFS System Windows",
                                    "2 NTFS System Windows.old earlier", "5 NTFS - WINNT"};
const std::vector<std::string> kGpt{"3 NTFS System Windows", "3 NTFS System Windows.old earlier"};
const std::vector<std::string> kBare{"0 NTFS System Windows", "0 NTFS System Windows.old earlier"};
const std::vector<std::string> kReal{"3 NTFS System Windows", "3 NTFS System Windows.old/WINDOWS earlier"};
const std::vector<std::string> kLinks{"0 NTFS Links Windows"};
const std::vector<std::string> k4k{"1 NTFS Big Windows"};

class Sources : public testing::TestWithParam<SourceCase> {};

TEST_P(Sources, FindInstallationsAndReadTheirHives) {
    const SourceCase& c = GetParam();
    const std::string path = kImages + "/" + c.image;
    std::unique_ptr<disk::Source> source;
    try {
        source = disk::Source::Open(path);
    } catch (const disk::Error& e) {
        ASSERT_STRNE(c.error, "") << e.what();
        EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << "one line: " << e.what();
        EXPECT_EQ(std::string(e.what()).rfind(path, 0), 0u) << "names the image: " << e.what();
        return;
    }
    ASSERT_STREQ(c.error, "") << "opened, where it should refuse";
    std::vector<std::string> rows;
    for (const auto& i : source->Installations()) rows.push_back(Row(i));
    EXPECT_EQ(rows, c.installations);
    std::string warnings;
    for (const auto& w : source->Warnings()) warnings += w + "\n";
    if (*c.warning != '\0') {
        EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
    } else {
        EXPECT_EQ(warnings, "");
    }

    for (const auto& inst : source->Installations()) {
        if (inst.kind == disk::InstallationKind::Win9x) {
            const auto [files, code] = Windows9xOf(inst);
            auto dat = source->Read(inst, "user.dat");
            ASSERT_TRUE(dat) << Row(inst);
            EXPECT_EQ(dat->bytes, Slurp(kImages + "/" + files + "/USER.DAT"));
            const std::string imported = ImportedCode(*source, inst);
            if (*c.readError != '\0') {
                EXPECT_NE(imported.find(c.readError), std::string::npos) << imported;
                EXPECT_NE(
                    imported.find("the volume, WINDOWS/SYSTEM.DA0, the copy of its last good state that Windows kept"),
                    std::string::npos)
                    << imported;
                EXPECT_EQ(imported.rfind(path, 0), 0u) << "names the image: " << imported;
            } else {
                EXPECT_EQ(imported, std::to_string(code)) << Row(inst);
            }
            continue;
        }
        if (*c.readError != '\0') {
            try {
                source->Read(inst, "System32/config/SOFTWARE");
                ADD_FAILURE() << "read a hive it should refuse";
            } catch (const disk::Error& e) {
                EXPECT_NE(std::string(e.what()).find(c.readError), std::string::npos) << e.what();
                EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << "names the image: " << e.what();
            }
            return;
        }
        // Any case of letters finds the file; the bytes are the hive as written.
        const auto software = source->ReadHive(inst, "system32/CONFIG/Software");
        ASSERT_TRUE(software) << Row(inst);
        EXPECT_EQ(software->primary.bytes, Slurp(kImages + "/" + HivesOf(inst) + "/SOFTWARE")) << Row(inst);
        EXPECT_EQ(software->logs.size(), LogsOf(c.image, inst, "SOFTWARE")) << Row(inst);
        // Progress only grows and ends at the whole file.
        std::vector<std::uint64_t> seen;
        const auto again = source->Read(inst, "System32/config/SOFTWARE", [&](std::uint64_t done, std::uint64_t total) {
            EXPECT_EQ(total, software->primary.bytes.size());
            seen.push_back(done);
        });
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.back(), software->primary.bytes.size());
        const auto system = source->ReadHive(inst, "System32/config/SYSTEM");
        ASSERT_TRUE(system) << Row(inst);
        EXPECT_EQ(system->primary.bytes, Slurp(kImages + "/" + HivesOf(inst) + "/SYSTEM")) << Row(inst);
        const std::size_t logs = LogsOf(c.image, inst, "SYSTEM");
        ASSERT_EQ(system->logs.size(), logs) << Row(inst);
        if (logs > 0) {
            EXPECT_NE(system->logs[0].name.find("SYSTEM.LOG1"), std::string::npos) << system->logs[0].name;
        }
        EXPECT_FALSE(source->Read(inst, "System32/config/NOSUCH")) << "a file that is not there";

        // Pieces, as a reader on demand takes them: within a run, across runs, the last bytes.
        const auto reader = source->OpenFile(inst, "System32/config/SOFTWARE");
        ASSERT_TRUE(reader);
        const auto& whole = software->primary.bytes;
        ASSERT_EQ(reader->Size(), whole.size());
        for (const auto& [at, n] :
             {std::pair<std::size_t, std::size_t>{0, 512}, {4000, 3000}, {whole.size() - 100, 100}}) {
            std::vector<std::uint8_t> piece(n);
            reader->ReadAt(at, piece.data(), n);
            EXPECT_TRUE(std::equal(piece.begin(), piece.end(), whole.begin() + std::ptrdiff_t(at)))
                << Row(inst) << " at " << at;
        }
        std::uint8_t past[20];
        EXPECT_THROW(reader->ReadAt(whole.size() - 10, past, sizeof past), disk::Error);
    }
    EXPECT_GT(source->BytesRead(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Disk, Sources,
    testing::Values(
        // Layouts.
        SourceCase{"bare.raw", kBare}, SourceCase{"mbr.raw", kMbr}, SourceCase{"gpt.raw", kGpt},
        SourceCase{"gpt4k.raw", k4k}, SourceCase{"mbr4k.raw", k4k}, SourceCase{"vol4k.ntfs", {"0 NTFS Big Windows"}},
        SourceCase{"fat.vfat", {"0 FAT12 WIN98 Windows 9x"}}, SourceCase{"me-fat32.raw", {"1 FAT32 WINME WINDOWS 9x"}},
        SourceCase{"w95-fat16.vfat",
                   {"0 FAT16 WIN95 WINDOWS 9x"},
                   "",
                   "",
                   "the volume, WINDOWS/SYSTEM.DAT: offset 0x1020: truncated: the data block takes 0x1000 bytes, the "
                   "file ends at 0x1EF4; "},
        SourceCase{"frag.ntfs", {"0 NTFS System Windows"}},  // SOFTWARE's data in three runs
        // Volumes as years of use leave them: SOFTWARE in hundreds of runs, Windows.old\WINDOWS.
        SourceCase{"real/disk.raw", kReal}, SourceCase{"real2/disk.raw", kReal},
        // Links on the way to the hives, followed on the volume.
        SourceCase{"junction.ntfs", kLinks}, SourceCase{"relative.ntfs", kLinks},
        // Containers.
        SourceCase{"split.raw.001", kMbr}, SourceCase{"dynamic.vhd", kMbr}, SourceCase{"fixed.vhd", kMbr},
        SourceCase{"child.vhd", kMbr}, SourceCase{"disk.vhdx", kGpt}, SourceCase{"sparse.vmdk", kMbr},
        SourceCase{"split-vmdk/disk.vmdk", kMbr}, SourceCase{"renamed-sparse.vmdk", kMbr},
        SourceCase{"stream.vmdk", kGpt}, SourceCase{"flat.vmdk", kGpt}, SourceCase{"base.qcow2", kGpt},
        SourceCase{"overlay.qcow2", kGpt}, SourceCase{"evidence.E01", kGpt}, SourceCase{"whole.E01", kMbr},
        // Folders: a volume's root, a config folder alone, an installation's folder.
        SourceCase{"folder-root",
                   {"0 folder - WIN98 9x", "0 folder - Windows", "0 folder - Windows.old earlier",
                    "0 folder - Windows.old.000/WINDOWS earlier"}},
        SourceCase{"folder-config", {"0 folder - "}}, SourceCase{"folder-root/Windows", {"0 folder - "}},
        SourceCase{"folder-relative", {"0 folder - Windows"}},
        SourceCase{"folder-link",
                   {},
                   "/Windows/System32/config is a symbolic link to /nonexistent-volume/config, which is not there"},
        // Read, with a warning.
        SourceCase{"dirty.ntfs", kBare, "", "did not shut this volume down cleanly"},
        SourceCase{"hiber.ntfs", kBare, "", "hibernated"},
        SourceCase{"mixed.raw",
                   {"2 NTFS System Windows", "2 NTFS System Windows.old earlier", "5 NTFS - WINNT"},
                   "",
                   "partition 1 (offset 1048576): a BitLocker-encrypted volume"},
        SourceCase{"truncated.raw",
                   {"1 FAT12 WIN98 Windows 9x", "2 NTFS System Windows", "2 NTFS System Windows.old earlier"},
                   "",
                   "partition 5 (offset 23068672): runs past the end of the disk"},
        // Refused, named.
        SourceCase{"bitlocker.raw", {}, "partition 1 (offset 1048576): a BitLocker-encrypted volume (-FVE-FS-)"},
        SourceCase{"lvm.raw", {}, "partition 1 (offset 1048576): an LVM physical volume"},
        SourceCase{"bare-lvm.raw", {}, "the volume (offset 0): an LVM physical volume"},
        SourceCase{"ldm.raw", {}, "dynamic disk (LDM)"}, SourceCase{"spaces.raw", {}, "Storage Spaces"},
        SourceCase{"refs.raw", {}, "a ReFS volume"}, SourceCase{"exfat.raw", {}, "an exFAT volume"},
        SourceCase{"unknown.raw", {}, "an unknown or encrypted volume"},
        SourceCase{"esp.vfat", {}, "no Windows installation on it"},
        SourceCase{"cut.qcow2",
                   {},
                   "(at offset 1048576): the cluster lies past the end of the file (400000 bytes): a truncated image"},
        SourceCase{"cut.vhd", {}, "a truncated or damaged image"},
        SourceCase{"orphan.qcow2", {}, "backing file is missing: " DISK_IMAGES "/gone.qcow2"},
        SourceCase{"orphan.vhd", {}, "parent is missing: " DISK_IMAGES "/parent-gone.vhd"},
        SourceCase{"empty.raw", {}, "an empty file"},
        SourceCase{"rawback.qcow2", {}, "backing file " DISK_IMAGES "/gpt.raw is not a QCOW image"},
        SourceCase{"wof.ntfs", kBare, "", "", "compressed (WOF)"},
        SourceCase{"elsewhere.ntfs",
                   {},
                   "the volume, Windows\\System32\\config is a junction to D:\\Windows\\System32\\config, another "
                   "volume: not followed"},
        SourceCase{"loop.ntfs", kLinks, "", "", "more than 8 junctions and links on the way (a loop?)"},
        SourceCase{"cut-in-software.ntfs", kBare, "", "",
                   "the volume, Windows/System32/config/SOFTWARE: its data lie past the end of the image"},
        SourceCase{"huge.ntfs", kBare, "", "", "damaged"}),
    [](const testing::TestParamInfo<SourceCase>& info) {
        std::string name = info.param.image;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

// A Windows 98 whose USER.DAT is gone, on a FAT volume and in a folder: SYSTEM.DAT alone is the
// installation, its version read in full, the missing file named once.
TEST(Disk, Windows9xWithoutUserDatReadsFromSystemDat) {
    for (const std::string image : {"fat-system-only.vfat", "folder-9x-system-only"}) {
        SCOPED_TRACE(image);
        const auto source = disk::Source::Open(kImages + "/" + image);
        ASSERT_EQ(source->Installations().size(), 1u);
        const auto& inst = source->Installations().front();
        EXPECT_EQ(inst.kind, disk::InstallationKind::Win9x) << Row(inst);
        EXPECT_FALSE(source->Read(inst, "USER.DAT"));
        std::vector<std::string> warnings;
        EXPECT_EQ(ImportedCode(*source, inst, installations::Extent::Whole, &warnings), "6");
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_NE(warnings[0].find("no USER.DAT beside SYSTEM.DAT: HKEY_USERS is left empty"), std::string::npos)
            << warnings[0];
    }
}

// What the list of installations shows of each: its name, release and build read from its keys, and
// where it lies; an installation that cannot be read says why, and the others are still named.
TEST(Disk, InstallationTitlesNameEachWindowsAndWhereItLies) {
    const std::string part2 = " \u2014 partition 2 (NTFS \"System\", offset 9437184): ";
    const std::map<std::string, std::vector<std::string>> titles = {
        {"mbr.raw",
         {"Microsoft Windows 98, build 2222 \u2014 partition 1 (FAT12 \"WIN98\", offset 1048576): Windows "
          "(Windows 9x)",
          "Windows 10 Pro 22H2, build 19045" + part2 + "Windows",
          "Windows 7 Professional Service Pack 1, build 7601" + part2 +
              "Windows.old (an earlier Windows, kept by an upgrade)",
          "Microsoft Windows XP Service Pack 3, build 2600 \u2014 partition 5 (NTFS, offset 23068672): WINNT"}},
        {"cut-in-software.ntfs",
         {"cannot be read (" + kImages +
              "/cut-in-software.ntfs, the volume, Windows/System32/config/SOFTWARE: its data lie past the end",
          "cannot be read (" + kImages +
              "/cut-in-software.ntfs, the volume, Windows.old/System32/config/SOFTWARE: its data lie past the end"}},
    };
    for (const auto& [image, expected] : titles) {
        SCOPED_TRACE(image);
        const auto source = disk::Source::Open(kImages + "/" + image);
        ASSERT_EQ(source->Installations().size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const std::string title = installations::InstallationTitle(*source, source->Installations()[i]);
            EXPECT_EQ(title.substr(0, expected[i].size()), expected[i]) << title;
        }
    }
}

// Finding Windows on a volume of many files reads the folders on the way, never the whole MFT (25 MiB
// on real/disk.raw): no more with twice the files.
// Disk images told by their content alone: a listing of a folder reads those, once each.
TEST(Disk, ImagesAreToldByContent) {
    const auto le64 = [](std::uint64_t v) {
        std::string s(8, '\0');
        for (int i = 0; i < 8; ++i) s[i] = char(v >> (8 * i));
        return s;
    };
    const std::string ewf("EVF\x09\x0d\x0a\xff\x00\x01", 9);
    const std::string sector = std::string(510, 'x') + "\x55\xaa";
    struct Case {
        const char* what;
        std::string bytes;
        bool disk;
    };
    const Case cases[] = {
        {"QCOW2", std::string("QFI\xfb", 4) + std::string(600, '\0'), true},
        {"VHDX", "vhdxfile" + std::string(600, '\0'), true},
        {"a fixed VHD: its footer at the end", std::string(4096, '\0') + "conectix" + std::string(504, '\0'), true},
        {"a VMDK descriptor", "# Disk DescriptorFile\nversion=1\n", true},
        {"a monolithic sparse VMDK: its descriptor inside",
         "KDMV" + std::string(24, '\0') + le64(1) + std::string(600, '\0'), true},
        {"an extent of a split VMDK: no descriptor of its own",
         "KDMV" + std::string(24, '\0') + le64(0) + std::string(600, '\0'), false},
        {"an E01's first segment", ewf + std::string("\x01\x00", 2) + std::string(600, '\0'), true},
        {"an E01's second segment", ewf + std::string("\x02\x00", 2) + std::string(600, '\0'), false},
        {"a logical evidence file", std::string("LVF\x09\x0d\x0a\xff\x00", 8) + std::string(600, '\0'), false},
        {"a raw disk or volume: a boot sector's signature", sector + std::string(1024, '\0'), true},
        {"text", "hello, not a disk\n", false},
        {"a sector without its signature", std::string(4096, '\0'), false},
        {"an empty file", "", false},
    };
    const fs::path dir = fs::temp_directory_path() / ("kinds-" + std::to_string(::getpid()));
    fs::create_directories(dir / "sub");
    std::vector<std::string> disks;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto path = (dir / (i % 2 ? "sub" : ".") / ("f" + std::to_string(i))).lexically_normal();
        std::ofstream(path, std::ios::binary) << cases[i].bytes;
        EXPECT_EQ(disk::LooksLikeDisk(path.string()), cases[i].disk) << cases[i].what;
        if (cases[i].disk) disks.push_back(path.string());
    }
    EXPECT_FALSE(disk::LooksLikeDisk(dir.string())) << "a folder";
    EXPECT_FALSE(disk::LooksLikeDisk((dir / "none").string())) << "a file that is not there";
    // A descriptor's extents are its disk's parts; a link to a folder is not followed.
    std::ofstream(dir / "split.vmdk") << "# Disk DescriptorFile\nRW 8 FLAT \"split-flat.vmdk\" 0\n";
    std::ofstream(dir / "split-flat.vmdk", std::ios::binary) << sector;
    fs::create_directory_symlink(dir / "sub", dir / "link");
    disks.push_back((dir / "split.vmdk").string());
    std::sort(disks.begin(), disks.end());
    const disk::FoundDisks found = disk::FindDisks(dir.string());
    EXPECT_EQ(found.disks, disks);
    EXPECT_TRUE(found.warnings.empty());
    fs::remove_all(dir);
}

TEST(Disk, FindingWindowsCostsNoMoreOnAVolumeOfTwiceTheFiles) {
    std::vector<std::uint64_t> bytes;
    for (const char* image : {"real/disk.raw", "real2/disk.raw"}) {
        const auto source = disk::Source::Open(kImages + "/" + image);
        for (const auto& inst : source->Installations()) {
            for (const char* hive : {"System32/config/SOFTWARE", "System32/config/SYSTEM"}) {
                const auto file = source->OpenFile(inst, hive);
                ASSERT_TRUE(file) << image << " " << Row(inst) << " " << hive;
                std::vector<std::uint8_t> base(4096);
                file->ReadAt(0, base.data(), base.size());
            }
        }
        bytes.push_back(source->BytesRead());
    }
    EXPECT_LT(bytes[0], std::uint64_t(4) << 20);
    EXPECT_LE(bytes[1], bytes[0] + bytes[0] / 10)
        << "with twice the files: " << bytes[1] << " bytes against " << bytes[0];
}

// Every file that ntfs-3g lists in a folder of thousands is found through the folder's index, in
// any case of letters; a name beside each is not.
TEST(Disk, FindsEveryFileNtfs3gListsInAFolderOfThousands) {
    const auto source = disk::Source::Open(kImages + "/real/disk.raw");
    const disk::Installation& windows = source->Installations().front();
    std::ifstream list(kImages + "/real/system32.ls");
    std::size_t files = 0;
    for (std::string name; std::getline(list, name);) {
        if (name.empty() || name.back() == '/') continue;  // folders, "./" and "../"
        ++files;
        std::string upper = name;
        for (char& c : upper) c = char(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(source->OpenFile(windows, "System32/" + upper)) << name;
        EXPECT_FALSE(source->OpenFile(windows, "System32/" + name + "_")) << name << "_";
    }
    EXPECT_GT(files, 1000u);
}

// A hive's fault reads the same whether the hive lies in an image or in a folder, read whole or key by
// key: the same words after the file's name.
struct FaultCase {
    const char* image;
    const char* folder;
    const char* words;  // how the words after ".../config/" begin
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.image;
}

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, ReadTheSameFromAnImageAndAFolder) {
    const FaultCase& c = GetParam();
    for (const auto extent :
         {installations::Extent::Whole, installations::Extent::VersionKeys, installations::Extent::Details}) {
        std::vector<std::string> said;
        for (const char* where : {c.image, c.folder}) {
            const auto source = disk::Source::Open(kImages + "/" + where);
            const std::string message = ImportedCode(*source, source->Installations().front(), extent);
            const std::size_t at = message.rfind("config/");
            said.push_back(at == std::string::npos ? message : message.substr(at + 7));
        }
        EXPECT_EQ(said[0], said[1]);
        EXPECT_EQ(said[0].rfind(c.words, 0), 0u) << said[0];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Disk, Faults,
    testing::Values(FaultCase{"zero.ntfs", "folder-zero", "SYSTEM: an empty file (0 bytes), not a registry hive"},
                    FaultCase{"short.ntfs", "folder-short", "SOFTWARE: at offset 0x28: hive bins data"}),
    [](const testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.folder).substr(7); });

// The outside check: ntfs-3g mounts the bare volume (root and FUSE only) and the folder it shows
// gives the same installations and hives as the image.
TEST(Disk, MountedVolumeReadsAsTheImage) {
    if (::geteuid() != 0) GTEST_SKIP() << "not root: ntfs-3g cannot mount the image here";
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/fuse: FUSE is unavailable";
    const std::string mount = kImages + "/mnt-" + std::to_string(::getpid());
    fs::create_directories(mount);
    const std::string command = "ntfs-3g -o ro '" + kImages + "/bare.raw' '" + mount + "'";
    if (std::system(command.c_str()) != 0) {
        fs::remove(mount);
        GTEST_SKIP() << "ntfs-3g could not mount the image";
    }
    auto image = disk::Source::Open(kImages + "/bare.raw");
    std::unique_ptr<disk::Source> folder;
    try {
        folder = disk::Source::Open(mount);
    } catch (const disk::Error& e) {
        ADD_FAILURE() << e.what();
    }
    if (folder) {
        ASSERT_EQ(folder->Installations().size(), image->Installations().size());
        for (std::size_t n = 0; n < image->Installations().size(); ++n) {
            const auto& a = image->Installations()[n];
            const auto& b = folder->Installations()[n];
            EXPECT_EQ(a.folder, b.folder);
            for (const char* hive : {"System32/config/SOFTWARE", "System32/config/SYSTEM"})
                EXPECT_EQ(image->Read(a, hive)->bytes, folder->Read(b, hive)->bytes) << a.folder << " " << hive;
        }
    }
    folder.reset();
    ::umount2(mount.c_str(), MNT_DETACH);
    fs::remove(mount);
}

// A block device is read as the image it holds: a read-only loop device over mbr.raw (root only).
TEST(Disk, BlockDeviceReadsAsItsImage) {
    if (::geteuid() != 0) GTEST_SKIP() << "not root: no loop device can be made here";
    const std::string command = "losetup -r -f --show '" + kImages + "/mbr.raw' 2>/dev/null";
    std::FILE* pipe = ::popen(command.c_str(), "r");
    char line[256] = {};
    const bool got = pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr;
    if (pipe != nullptr) ::pclose(pipe);
    std::string device = got ? line : "";
    while (!device.empty() && device.back() == '\n') device.pop_back();
    if (device.empty()) GTEST_SKIP() << "losetup could not make a loop device";
    std::vector<std::string> rows;
    try {
        const auto source = disk::Source::Open(device);
        for (const auto& i : source->Installations()) rows.push_back(Row(i));
        EXPECT_EQ(source->Read(source->Installations()[1], "System32/config/SOFTWARE")->bytes,
                  Slurp(kImages + "/h10/SOFTWARE"));
    } catch (const disk::Error& e) {
        ADD_FAILURE() << e.what();
    }
    EXPECT_EQ(rows, kMbr);
    EXPECT_EQ(std::system(("losetup -d " + device).c_str()), 0) << "losetup -d " << device;
}

}  // namespace
