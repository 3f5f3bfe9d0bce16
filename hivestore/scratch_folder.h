#pragma once
// A private folder under $TMPDIR (else /tmp) for a store that lives no longer than the program:
// removed with its files when it goes, and also when the program is ended by SIGINT, SIGTERM,
// SIGHUP or SIGPIPE (Ctrl-C on a long read, a closed terminal, a logout, `| head -1`), which run no
// destructors.
#include <string>

namespace hivestore {

class ScratchFolder {
public:
    // `prefix` names the folder: "/tmp/PREFIX-XXXXXX". Throws std::runtime_error when it cannot be made.
    explicit ScratchFolder(const std::string& prefix);
    ~ScratchFolder() { Remove(); }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Path() const { return path_; }
    void Remove();  // the folder and its files, now; no longer watched for a signal

private:
    std::string path_;
};

}  // namespace hivestore
