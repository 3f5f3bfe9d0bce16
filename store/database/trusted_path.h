#pragma once
// Where the user's own store may be, decided as ssh decides about ~/.ssh: by the real user (getuid),
// whatever the environment says. Every folder from / to the store belongs to that user or to root and
// may be written by no one else (a sticky folder such as /tmp included: others can make names in it);
// the store's folder and files are never symbolic links; missing folders are made only inside the
// user's home as the password database gives it (the store's own folder also in a folder that
// belongs to the user), and belong to that user.
#include <string>

namespace store {

struct TrustedPath {
    // Why the store may not be used, naming the folder or file at fault; empty when it may.
    std::string refusal;
    // The store file's path with no symbolic link in it (a link on the way, in a trusted folder, is
    // followed and checked like the rest).
    std::string path;
    // The store is missing, and may not be made there: why (empty when it may).
    std::string cannotMake;
    // The store's folder as checked (O_PATH, close-on-exec), for the caller to open the store and
    // its log files in (see folder_files.h) and to close; -1 when refused or the folder is missing.
    int folder = -1;
};

// Checks the user's store at `path`. With `make`, a missing store is made (folders 0700, the file
// 0600) when it may be; `refusal` then says why it was not.
TrustedPath CheckUserStorePath(const std::string& path, bool make);

}  // namespace store
