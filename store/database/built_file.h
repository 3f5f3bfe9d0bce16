#pragma once
// A store made whole in a new file beside its path, and put at the path once written: no process
// sees a part of it, and a build that fails or is killed leaves the path as it was.
#include <string>

namespace store {

// The file a store for `path` is built in by this process: hidden beside it, named with the
// process's id, so that RemoveAbandonedBuilds knows whose it is.
std::string BuildPath(const std::string& path);
// Removes the files of builds for `path` whose process is gone (killed while it built).
void RemoveAbandonedBuilds(const std::string& path);
// Puts the file `built` at `path` if no file is there, durably: false, `built` left where it is,
// when there is one. Throws Failure when the folder takes no rename.
bool PlaceBuiltFile(const std::string& built, const std::string& path);

}  // namespace store
