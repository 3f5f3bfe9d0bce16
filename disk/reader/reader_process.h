#pragma once
// The image reader as the program sees it: a process of its own, started for one source (or one
// Windows 9x registry file), spoken to in frames (reader_wire.h). When it ends before it answers
// (a crash, a limit reached, killed) or takes too long, the call throws Error in one line naming
// the source and what it was doing.
#include "reader_wire.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace disk {

class ReaderProcess {
public:
    // Starts the reader with `arguments` after its name. `source` names what it reads in messages.
    ReaderProcess(const std::vector<std::string>& arguments, std::string source);
    ~ReaderProcess();
    ReaderProcess(const ReaderProcess&) = delete;
    ReaderProcess& operator=(const ReaderProcess&) = delete;

    // Sends a request; `doing` says in messages what it was for ("reading ...").
    void Send(wire::Kind kind, const wire::Out& body, const std::string& doing);
    // The next frame. Notices are passed to the program's stderr on the way; Failed throws Error
    // with its line. Anything else that is not a frame ends the reader and throws.
    wire::Frame Receive(const std::string& doing);

    const std::string& Source() const { return source_; }

    // A reader's answer may take this long before the reader is taken for stuck.
    static constexpr int kReplySeconds = 120;

private:
    [[noreturn]] void Stopped(const std::string& doing, bool timedOut);
    void Finish();

    std::string source_;
    pid_t pid_ = -1;
    int to_ = -1;    // the reader's stdin
    int from_ = -1;  // its stdout
};

// Where the reader is: beside the program (a build tree), else in the package's libexec folder.
std::string ReaderPath();

}  // namespace disk
