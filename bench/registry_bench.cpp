// The registry measures on the portable store, with Google Benchmark, at one or more store sizes:
//   registry_bench [--sizes=1000,100000] [--store_dir=DIR] [--reader_uid=UID] [Google Benchmark flags]
//   registry_bench --only=ID --calls=N [--sizes=SIZE] [--store_dir=DIR]   (one measure, untimed)
// Each size gets a store of its own, made when its first benchmark runs and deleted at the end.
// With --reader_uid (run as root), the stores are made first, as the installed program's store is,
// and the measures that only read run in a child process with that user's ids: a user who may
// read the store's files (0644) but write none of them, the log's index among them.
#include "command_line.h"
#include "reg_file.h"
#include "registry_measures.h"
#include "registry_store.h"
#include "schema.h"

#include <benchmark/benchmark.h>
#include <grp.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Options {
    std::vector<std::size_t> sizes{1000};
    fs::path storeDir;
    std::string example = VERSIONINFO_BENCH_EXAMPLE;
    long readerUid = -1;  // run the reading measures as this user
};

Options options;

// One store per size, made once (the Windows 10 example plus the generated values, in one
// transaction) and kept until the end, so that the sizes of one measure can run side by side.
class Stores {
public:
    ~Stores() { Close(); }

    // The session on the store of `values` generated values; nullptr (and why) when it cannot be made.
    bench::Session* For(std::size_t values, std::string& error) {
        if (session_ && active_ == values) return session_.get();
        session_.reset();  // its handles belong to the store in use
        const fs::path path = PathOf(values);
        if (made_.count(values) == 0) {
            Remove(path);
            UseRegistryStore(path.string());
            if (!Import(options.example, error)) return nullptr;
            const LONG rc = RunInStoreTransaction([&] { return bench::FillValues(values); });
            if (rc != ERROR_SUCCESS) {
                error = "filling the store failed with " + std::to_string(rc);
                return nullptr;
            }
            made_.insert(values);
            // Measured as a program finds a store that another one wrote: opened afresh.
            UseRegistryStore((options.storeDir / "none.db").string(), StoreAccess::ReadOnly);
        }
        UseRegistryStore(path.string());
        active_ = values;
        session_ = std::make_unique<bench::Session>(values, options.readerUid >= 0);
        if (!session_->Ready()) {
            error = "the generated keys cannot be opened";
            session_.reset();
        }
        return session_.get();
    }

    // Lets go of the store in use, keeping the made ones.
    void Forget() {
        session_.reset();
        active_ = 0;
        UseRegistryStore((options.storeDir / "none.db").string(), StoreAccess::ReadOnly);
    }

    void Close() {
        session_.reset();
        UseRegistryStore((options.storeDir / "none.db").string(), StoreAccess::ReadOnly);
        for (const std::size_t values : made_) Remove(PathOf(values));
        made_.clear();
    }

private:
    static fs::path PathOf(std::size_t values) {
        return options.storeDir / ("store-" + std::to_string(values) + ".db");
    }
    static void Remove(const fs::path& path) {
        std::error_code ignored;  // a reader's child cannot, and leaves it to the parent
        for (const char* suffix : {"", "-journal", "-wal", "-shm"}) fs::remove(path.string() + suffix, ignored);
    }
    static bool Import(const std::string& file, std::string& error) {
        std::ifstream in(file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        if (!in && !in.eof()) {
            error = "cannot read " + file;
            return false;
        }
        try {
            const auto result = regfile::Apply(regfile::Parse(bytes));
            if (result.code == ERROR_SUCCESS) return true;
            error = "importing " + file + " failed with " + std::to_string(result.code);
        } catch (const regfile::ParseError& e) {
            error = file + ": " + e.what();
        }
        return false;
    }

    std::unique_ptr<bench::Session> session_;
    std::size_t active_ = 0;
    std::set<std::size_t> made_;
};

Stores stores;
bool anyFailed = false;  // a refused operation fails the whole run, so that the brief run in the tests notices

void Run(benchmark::State& state, const bench::Measure& measure, std::size_t values) {
    std::string error;
    bench::Session* session = stores.For(values, error);
    if (session == nullptr) {
        anyFailed = true;
        state.SkipWithError(error.c_str());
        return;
    }
    std::uint64_t i = 0;
    for (auto _ : state) {
        if (!measure.run(*session, i++)) {
            anyFailed = true;
            state.SkipWithError("the registry refused the operation");
            break;
        }
    }
}

// The reference for a write: one row written in a SQLite transaction of its own, in WAL mode with
// synchronous=NORMAL and the store's log limit, into a table shaped like the store's values; what
// SetLong costs with nothing of the store around it.
class BareWriter {
public:
    explicit BareWriter(std::string path) : path_(std::move(path)) {
        ready_ = sqlite3_open(path_.c_str(), &db_) == SQLITE_OK &&
                 sqlite3_exec(db_,
                              ("PRAGMA journal_mode = WAL; PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = " +
                               std::to_string(store::kLogSizeLimit) + ";" + store::ValuesTableSql())
                                  .c_str(),
                              nullptr, nullptr, nullptr) == SQLITE_OK &&
                 sqlite3_prepare_v2(
                     db_,
                     R"(INSERT INTO "values" (key, name, folded, type, data) VALUES (1, 'Count', 'COUNT', 4, ?)
                        ON CONFLICT (key, folded) DO UPDATE SET type = excluded.type, data = excluded.data)",
                     -1, &insert_, nullptr) == SQLITE_OK;
    }
    ~BareWriter() {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
        for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path_ + suffix).c_str());
    }
    BareWriter(const BareWriter&) = delete;
    BareWriter& operator=(const BareWriter&) = delete;

    bool Write(std::uint32_t i) {
        if (!ready_ || sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
        sqlite3_bind_blob(insert_, 1, &i, sizeof i, SQLITE_TRANSIENT);
        sqlite3_step(insert_);
        sqlite3_reset(insert_);
        return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }

private:
    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    bool ready_ = false;
};

constexpr const char* kBareId = "bare_sqlite_write";

void BareWrite(benchmark::State& state) {
    BareWriter writer((options.storeDir / "bare.db").string());
    std::uint32_t i = 0;
    for (auto _ : state) {
        if (!writer.Write(++i)) {
            anyFailed = true;
            state.SkipWithError("the bare SQLite write failed");
            break;
        }
    }
}

// `--calls N --only ID`: the measure ID (or the bare write) N times, outside Google Benchmark, so
// that a tracer's count of system calls can be set against a number of calls.
int RunCalls(const std::string& id, std::uint64_t calls) {
    if (id == kBareId) {
        BareWriter writer((options.storeDir / "bare.db").string());
        for (std::uint64_t i = 0; i < calls; ++i)
            if (!writer.Write(static_cast<std::uint32_t>(i + 1))) return 1;
        return 0;
    }
    for (const bench::Measure& measure : bench::Measures()) {
        if (id != measure.id) continue;
        std::string error;
        bench::Session* session = stores.For(options.sizes.front(), error);
        if (session == nullptr) {
            std::fprintf(stderr, "registry_bench: %s\n", error.c_str());
            return 1;
        }
        for (std::uint64_t i = 0; i < calls; ++i)
            if (!measure.run(*session, i)) return 1;
        return 0;
    }
    std::fprintf(stderr, "registry_bench: no measure %s\n", id.c_str());
    return 2;
}

int RunMeasures(bool writes);

}  // namespace

static int Main(int argc, char** argv) {
    // Google Benchmark takes its own flags off the line first.
    benchmark::Initialize(&argc, argv);
    CLI::App app("The registry measures on the portable store.", "registry_bench");
    std::string storeDir;
    app.add_option("--sizes", options.sizes, "store sizes in generated values, each at least the values of one key")
        ->type_name("N,...")
        ->delimiter(',')
        ->check(CLI::Range(bench::kValuesPerKey, std::numeric_limits<std::size_t>::max()));
    app.add_option("--store_dir", storeDir, "where the stores are made (a temporary folder without it)")
        ->type_name("DIR");
    app.add_option("--example", options.example, "the .reg file each store starts from")->type_name("FILE");
    app.add_option("--reader_uid", options.readerUid, "run the reading measures as this user (as root)")
        ->type_name("UID")
        ->check(CLI::NonNegativeNumber);
    std::string only;
    std::uint64_t calls = 0;
    app.add_option("--only", only, std::string("with --calls: the measure to run (or ") + kBareId + ")")
        ->type_name("ID");
    app.add_option("--calls", calls, "run one measure this many times, without timing it, and stop")
        ->type_name("N")
        ->needs("--only");
    if (const auto status = bench::ParseLine(app, argc, argv)) return *status;
    options.storeDir = storeDir;
    bool ownDir = false;
    if (options.storeDir.empty()) {
        std::string pattern = (fs::temp_directory_path() / "registry-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("registry_bench: mkdtemp");
            return 1;
        }
        options.storeDir = pattern;
        ownDir = true;
    }
    fs::create_directories(options.storeDir);

    if (options.readerUid >= 0) {
        // The stores made now, by this (privileged) user; the reads in a child with the reader's ids.
        std::string error;
        for (const std::size_t values : options.sizes)
            if (stores.For(values, error) == nullptr) {
                std::fprintf(stderr, "registry_bench: %s\n", error.c_str());
                return 1;
            }
        stores.Forget();
        fs::permissions(options.storeDir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
        const pid_t child = fork();
        if (child == 0) {
            const auto id = static_cast<uid_t>(options.readerUid);
            if (setgroups(0, nullptr) != 0 || setgid(id) != 0 || setuid(id) != 0) {
                std::perror("registry_bench: cannot take the reader's ids");
                _exit(1);
            }
            int rc = RunMeasures(false);
            stores.Forget();
            std::fflush(nullptr);
            _exit(rc);
        }
        int status = 1;
        waitpid(child, &status, 0);
        stores.Close();
        if (ownDir) fs::remove_all(options.storeDir);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    const int rc = calls > 0 ? RunCalls(only, calls) : RunMeasures(true);
    stores.Close();
    if (ownDir) fs::remove_all(options.storeDir);
    return rc;
}

namespace {

int RunMeasures(bool writes) {
    // The sizes of one measure one after the other, so that they see the machine in the same state.
    for (const bench::Measure& measure : bench::Measures()) {
        if (measure.writes && !writes) continue;
        for (const std::size_t values : options.sizes)
            benchmark::RegisterBenchmark((std::string(measure.id) + "/" + std::to_string(values)).c_str(),
                                         [&measure, values](benchmark::State& state) { Run(state, measure, values); })
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
    }
    if (writes)
        benchmark::RegisterBenchmark((std::string(kBareId) + "/" + std::to_string(options.sizes.front())).c_str(),
                                     BareWrite)
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return anyFailed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    return bench::Guarded("registry_bench", Main, argc, argv);
}
