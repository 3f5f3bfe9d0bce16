#pragma once
// What the folder and image sources share: names compared as Windows compares them, paths inside an
// installation, which installations come first, and how each source is opened.
#include "disk.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace disk {

// Below zero, zero, above zero: `a` before, equal to or after `b`, ASCII letters without regard to case.
int CompareFolded(std::string_view a, std::string_view b);
// The names of a path inside an installation ('/' or '\\' between them); throws Error for one that
// leaves it ("..").
std::vector<std::string> Components(std::string_view relative);
// By partition, then the one in use before those an upgrade kept, then by folder name.
void SortInstallations(std::vector<Installation>& list);
// Whether the installation's folder lies in Windows.old (Windows.old.000, ...).
bool KeptByUpgrade(std::string_view folder);

// The sources: a folder (folder_source.cpp), an image or a block device (image_source.cpp).
std::unique_ptr<Source> OpenFolder(const std::string& path);
std::unique_ptr<Source> OpenImageSource(const std::string& path);

}  // namespace disk
