#pragma once
// A Windows installation found on a source (a folder, a disk image, a block device) into the store:
// its SOFTWARE and SYSTEM hives, read out of the source, become HKLM\SOFTWARE and HKLM\SYSTEM in one
// store transaction, with HKLM\SYSTEM\CurrentControlSet a copy of the control set in use.
#include "disk.h"
#include "hive_store.h"
#include "version_keys.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace installations {

// How much of the hives goes into the store.
enum class Extent {
    Whole,        // every key: what import-windows keeps
    VersionKeys,  // the few keys that tell which Windows it is, read on demand: what the window and
                  // an inventory read (kVersionKeys)
    Details,      // those, and the keys of what the installation says about itself beside its version
                  // (kDetailKeys): owner, time zone, network, profiles, updates
};

// A file read is under way: its name, bytes done and bytes in all.
using ReadProgress = std::function<void(const std::string& file, std::uint64_t done, std::uint64_t total)>;
// A hive's keys are being written into the store: its name, keys written and keys read so far.
using WriteProgressOf = std::function<void(const std::string& file, std::uint64_t written, std::uint64_t read)>;
// The new file a store that had none is built in while it is written, and "" when it is gone or in
// place (RunInNewStore).
using BuildingFile = std::function<void(const std::string& path)>;

struct WindowsImport {
    std::vector<std::string> warnings;  // each names the file or the key it is about
};

// Reads the installation's registry and writes it into the store in use, in one transaction.
// Throws disk::Error (a source or file that cannot be read, a hive missing), hive::HiveError (a
// damaged hive) or hivestore::StoreError (the store refused); the store then holds what it held before.
// A Windows 95, 98 or Me installation's SYSTEM.DAT and USER.DAT become HKLM and HKU instead, read in
// `codePage`, whatever the extent; a damaged one throws win9x::CregError.
WindowsImport ImportWindows(disk::Source& source, const disk::Installation& installation, Extent extent,
                            const ReadProgress& progress = {}, unsigned codePage = win9x::kDefaultCodePage,
                            const WriteProgressOf& writing = {}, const BuildingFile& building = {});

// The installation that `number` names (from 1, in the source's order), or without a number the only
// one (an earlier Windows kept by an upgrade counts only when nothing else is there). Throws ChoiceError when that is
// none or not one: its message lists what the source holds.
class ChoiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
const disk::Installation& ChooseInstallation(const disk::Source& source, std::optional<unsigned> number);

// The installation to take when none is named: the only one, or the only one in use beside earlier
// ones an upgrade kept; nullptr when there is a choice to make.
const disk::Installation* OnlyInstallation(const disk::Source& source);

// The installations, one line each: "  1  partition 2 (NTFS, offset 1048576): Windows".
std::string ListInstallations(const disk::Source& source);

}  // namespace installations
