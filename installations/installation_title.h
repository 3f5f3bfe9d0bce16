#pragma once
// An installation as a person picks it from a list: what Windows it is and where it lies.
#include "disk.h"

#include <string>

namespace installations {

// "Windows 10 Pro 22H2, build 19045 — partition 2 (NTFS "System", offset 9437184): Windows", its
// name and release read from its version keys into a registry in memory (nothing is written); an
// installation that cannot be read says why in place of its name. Never throws for what the
// source holds.
std::string InstallationTitle(disk::Source& source, const disk::Installation& installation);

}  // namespace installations
