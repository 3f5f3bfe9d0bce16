#pragma once
// The registry keys an installation's version facts and details are read from, below HKLM.
#include <string>
#include <string_view>
#include <vector>

namespace installations {

// The keys an inventory imports (Extent::VersionKeys), below HKLM: what the window's load sequence
// and an inventory (build, release, edition, install date, computer name, architecture) read.
// "CurrentControlSet" is read from the control set that SYSTEM's Select\Current names.
struct VersionKey {
    const char16_t* hive;  // u"SOFTWARE" or u"SYSTEM"
    const char16_t* path;  // below the hive's root
};
extern const std::vector<VersionKey> kVersionKeys;

// The keys Extent::Details imports beside kVersionKeys, for ReadDetails. A last name "*" stands
// for every subkey, each with its values (hive::kAnySubkey).
extern const std::vector<VersionKey> kDetailKeys;

// Whether a read of `path` (below HKLM) finds what an installation holds once the keys above are
// imported: it is one of them, a subkey that a "*" stands for, or the key whose subkeys it stands
// for (read for their names). The readers of installations open no other key.
bool Imported(std::u16string_view path);

// A key's path as its names, the empty ones between backslashes left out.
std::vector<std::u16string> SplitKeyPath(std::u16string_view path);

}  // namespace installations
