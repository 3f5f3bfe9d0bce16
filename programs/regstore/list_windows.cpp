// regstore list-windows: the Windows installations on a folder, disk image or block device, and
// which Windows each is, without touching the store.
#include "command.h"
#include "windows_listing.h"

#include "find_disks.h"
#include "in_order.h"
#include "inventory_columns.h"
#include "inventory_csv.h"
#include "inventory_json.h"
#include "lifecycle.h"
#include "progress_line.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <iostream>
#include <memory>
#include <string>
#include <string_view>

namespace regstore {
namespace {

const char* const kAbout =
    R"(Lists the Windows installations on each SOURCE, one line each: its number, the volume (partition
number, file system, label and offset), the folder, the version code the window's caption would show,
and the product name; with several sources, each line starts with its source. Windows 11, whose
registry still says "Windows 10", is named so for a workstation of build 22000 or later; the code
stays as the window computes it (19). An earlier Windows that an in-place upgrade kept
(Windows.old\WINDOWS) is listed after the one in use on its volume, and marked so.

SOURCE is a folder (the root of a mounted volume, an installation's folder or its System32/config
folder), a disk image file (raw, VHD, VHDX, VMDK, QCOW2 with its backing files, E01) or a block
device, read-only. Only the keys asked for are read from each hive, into memory: nothing is written,
and no store is touched.

Sources are read side by side, --jobs N at once (one per CPU without it), and listed in the order
given. With --recursive, a folder that holds no installation itself is searched, at every depth, for
disk images told by their content, never by their names (an E01 by its first segment, a VMDK by its
descriptor; links to folders are not followed); each is a source of its own, in name order. A source
that cannot be read, or holds no installation, is named on standard error (in JSON and CSV, as an
"error" beside its source) and the others go on; the exit status is then 1. A listing that takes more
than a second shows its progress on a terminal.

With --json, a JSON array, one object per installation; with --json-lines, the same objects one a
line, each written as soon as its source and those before it are read (for jq and pipes); with
--csv, a header row and a row per installation (RFC 4180), a column each. The fields, in this order,
are null (in CSV, empty) for what the registry lacks; an installation whose registry cannot be read
has an "error" instead of its values, and the exit status is then 1:
)";

// With --details, the details' fields; then the examples.
const char* const kAboutDetails = R"(
With --details, what each installation's registry says about the machine besides its version, as a
system inventory shows it, under "details" (in CSV, a column each); times are UTC, ISO 8601:
)";

const char* const kExamples = R"(
Examples:
  regstore list-windows /srv/vms --recursive --details --csv > machines.csv
  regstore list-windows a.vhdx b.qcow2 --json-lines | jq -r .name
)";

// A field's item in the help, its CSV header named where the CSV calls it otherwise.
std::string Item(size_t depth, const char* json, const char* csv, const char* about) {
    const bool renamed = csv != nullptr && std::string_view(csv) != json;
    return HelpItem(depth, json, renamed ? about + std::string("; in CSV ") + csv : about);
}

// What list-windows' help says of what it prints, from the tables the output is made from.
std::string About() {
    std::string text = kAbout;
    for (const output::Column& c : output::InstallationColumns()) text += Item(1, c.json, c.csv, c.about);
    text += kAboutDetails;
    for (const output::DetailColumn& c : output::DetailColumns()) {
        text += Item(1, c.json, c.csv, c.about);
        for (const output::Field& m : c.members) text += Item(2, m.json, m.csv, m.about);
    }
    return text + kExamples;
}

// --jobs N: at least one, and no more threads than a process should start.
constexpr unsigned kMostJobs = 1024;
const CLI::Validator kJobs(
    [](const std::string& text) -> std::string {
        const auto n = Number(text);
        if (!n) return text + " is not a number";
        return *n == 0 || *n > kMostJobs ? "from 1 to " + std::to_string(kMostJobs) : "";
    },
    "");

enum class Format { Lines, Json, JsonLines, Csv };

struct Options {
    std::vector<std::string> sources;
    bool recursive = false;
    bool details = false;
    unsigned jobs = 0;  // 0: one per CPU
    bool json = false, jsonLines = false, csv = false;
    Format format() const {
        return json ? Format::Json : jsonLines ? Format::JsonLines : csv ? Format::Csv : Format::Lines;
    }
};

// The sources to read, from the command line: with --recursive, a folder that holds no installation
// stands for the disk images found inside it.
std::vector<ListedSource> Expand(const Options& o) {
    std::vector<ListedSource> out;
    for (const std::string& path : o.sources) {
        std::error_code ec;
        if (!o.recursive || !std::filesystem::is_directory(path, ec)) {
            out.emplace_back(path);
            continue;
        }
        try {
            out.emplace_back(path, disk::Source::Open(path));
            continue;
        } catch (const disk::Error&) {
            // Not an installation's folder: a folder of images.
        }
        disk::FoundDisks found = disk::FindDisks(path);
        Warn(found.warnings);
        if (found.disks.empty())
            out.emplace_back(path, nullptr, path + ": a folder that holds no Windows installation and no disk image");
        for (std::string& disk : found.disks) out.emplace_back(std::move(disk));
    }
    return out;
}

// Where regstore finds the end-of-support table: beside its own folder.
std::optional<lifecycle::Table> LoadLifecycle() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return std::nullopt;
    for (const std::string& place : lifecycle::Places(self.parent_path().string())) {
        try {
            if (auto table = lifecycle::Load(place)) return table;
        } catch (const lifecycle::TableError& e) {
            Warn({place + ": " + e.what() + ": endOfSupport is null"});
            return std::nullopt;
        }
    }
    Warn({"no end-of-support table beside the program: endOfSupport is null"});
    return std::nullopt;
}

// Prints each source as it is delivered, in the format asked for.
class Printer {
public:
    Printer(Format format, bool details, bool several) : format_(format), details_(details), several_(several) {
        if (format_ == Format::Json) std::cout << "[";
        if (format_ == Format::Csv) std::cout << output::CsvHeader(details_);
    }
    void Print(const ListedSource& source) {
        if (!source.error.empty()) {
            failed_ = true;
            if (format_ == Format::Lines) std::cerr << "regstore: " << source.error << "\n";
            else Object(source, output::SourceJson(source.path, source.error));
        }
        Warn(source.warnings);
        unsigned number = 0;
        for (const auto& [installation, listed] : source.installations) {
            ++number;
            failed_ = failed_ || !listed.error.empty();
            if (format_ != Format::Lines) {
                Object(source, output::InstallationJson(source.path, installation, number, listed));
                continue;
            }
            if (several_) std::cout << source.path << "  ";
            std::cout << number << "  " << disk::Describe(installation) << "  ";
            if (!listed.error.empty()) std::cout << "(cannot be read: " << listed.error << ")\n";
            else std::cout << listed.window.front().second << "  " << listed.name << "\n";
        }
        std::cout.flush();
    }
    int End() {
        if (format_ == Format::Json) std::cout << (first_ ? "]\n" : "\n]\n");
        std::cout.flush();
        return failed_ ? kBadInput : kOk;
    }

private:
    void Object(const ListedSource& source, const output::Json& object) {
        switch (format_) {
            case Format::Json:
                std::cout << (first_ ? "\n  " : ",\n  ") << output::JsonText(object);
                break;
            case Format::JsonLines:
                std::cout << output::JsonText(object) << "\n";
                break;
            case Format::Csv:
                std::cout << output::CsvRow(source.path, object, details_);
                break;
            case Format::Lines:
                break;
        }
        first_ = false;
    }

    Format format_;
    bool details_, several_;
    bool first_ = true, failed_ = false;
};

int ListWindows(const Options& o) {
    std::vector<ListedSource> sources = Expand(o);
    ListingRequest request;
    request.details = o.details;
    if (o.details) {
        request.lifecycle = LoadLifecycle();
        request.today = lifecycle::TodayUtc();
    }
    Printer printer(o.format(), o.details, sources.size() > 1);
    output::ProgressLine progress("regstore", stderr, sources.size() > 1 && output::ProgressLine::IsTerminal(stderr));
    common::InOrder<bool>(
        sources.size(), o.jobs != 0 ? o.jobs : common::UsableCpus(),
        [&](std::size_t i) {
            ReadSource(sources[i], request);
            return true;
        },
        [&](std::size_t i, bool&) {
            progress.Clear();
            printer.Print(sources[i]);
            sources[i] = ListedSource{};
        },
        [&](std::size_t done) { progress.Listed(done, sources.size()); });
    progress.Clear();
    return printer.End();
}

}  // namespace

Command AddListWindows(CLI::App& regstore, Context& context) {
    auto o = std::make_shared<Options>();
    CLI::App& app =
        AddCommand(regstore, context, "list-windows", "list the Windows installations on each SOURCE", About());
    // It touches no store: --store is taken, as by every command, but not shown.
    app.get_option("--store")->group("");
    app.add_option("SOURCE", o->sources)->required();
    app.add_flag("--recursive", o->recursive)
        ->disable_flag_override()
        ->description("look for disk images inside a folder that holds no installation");
    app.add_option("--jobs", o->jobs)
        ->type_name("N")
        ->check(kJobs)
        ->description("read N sources at once (one per CPU without it)");
    app.add_flag("--details", o->details)
        ->disable_flag_override()
        ->description("add what each registry says about the machine: owner, network, profiles, updates, support");
    CLI::Option* json = app.add_flag("--json", o->json)
                            ->disable_flag_override()
                            ->description("a JSON array, one object per installation");
    CLI::Option* lines = app.add_flag("--json-lines", o->jsonLines)
                             ->disable_flag_override()
                             ->description("one JSON object a line, each as soon as it is read");
    CLI::Option* csv = app.add_flag("--csv", o->csv)
                           ->disable_flag_override()
                           ->description("CSV for a spreadsheet: a header row, a row per installation");
    json->excludes(lines)->excludes(csv);
    lines->excludes(csv);
    return {&app, [o] { return ListWindows(*o); }};
}

}  // namespace regstore
