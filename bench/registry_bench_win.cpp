// The registry measures as a Windows program, for the reference side under Wine. Google Benchmark is
// not built for mingw-w64, so a small timing loop does its part: batches of calls sized to last
// about --batch-ms each, and the median time per call over --reps batches.
//   registry_bench.exe [--values N] [--reps R] [--batch-ms MS]
// Prints one line per measure, "measure ID VALUES NANOSECONDS", which scripts/bench reads.
#include "command_line.h"
#include "registry_measures.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::size_t values = 1000;
    int reps = 9;
    double batchMs = 50;
};

// Nanoseconds per call of one batch of `n` calls, or a negative number when a call failed.
double TimeBatch(const bench::Measure& measure, bench::Session& session, std::uint64_t& i, std::uint64_t n) {
    const auto start = Clock::now();
    for (std::uint64_t k = 0; k < n; ++k)
        if (!measure.run(session, i++)) return -1;
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / static_cast<double>(n);
}

double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t mid = samples.size() / 2;
    return samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app("The registry measures under Wine, timed in batches.", "registry_bench.exe");
    app.add_option("--values", options.values, "generated values in the registry, at least the values of one key")
        ->type_name("N")
        ->check(CLI::Range(bench::kValuesPerKey, std::numeric_limits<std::size_t>::max()));
    app.add_option("--reps", options.reps, "batches timed per measure")->type_name("R")->check(CLI::PositiveNumber);
    app.add_option("--batch-ms", options.batchMs, "how long a batch lasts")
        ->type_name("MS")
        ->check(CLI::PositiveNumber);
    if (const auto status = bench::ParseLine(app, argc, argv)) return *status;

    // Whatever an earlier run left behind goes first, and everything this run wrote goes at the end.
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, bench::kRoot);
    if (const LONG rc = bench::FillValues(options.values); rc != ERROR_SUCCESS) {
        std::fprintf(stderr, "registry_bench: filling the registry failed with %ld\n", static_cast<long>(rc));
        return 1;
    }
    int status = 0;
    {
        bench::Session session(options.values);
        if (!session.Ready()) {
            std::fprintf(stderr, "registry_bench: the generated keys cannot be opened\n");
            return 1;
        }
        for (const bench::Measure& measure : bench::Measures()) {
            std::uint64_t i = 0;
            // Double the batch until it lasts a tenth of the target (the first call warms up), then
            // size it to the target.
            std::uint64_t n = 1;
            double perCall = TimeBatch(measure, session, i, n);
            while (perCall >= 0 && perCall * static_cast<double>(n) < options.batchMs * 1e5 && n < (1u << 24)) {
                n *= 2;
                perCall = TimeBatch(measure, session, i, n);
            }
            std::vector<double> samples;
            if (perCall >= 0) {
                n = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(options.batchMs * 1e6 / perCall));
                for (int r = 0; r < options.reps && perCall >= 0; ++r) {
                    perCall = TimeBatch(measure, session, i, n);
                    samples.push_back(perCall);
                }
            }
            if (perCall < 0) {
                std::fprintf(stderr, "registry_bench: %s: the registry refused the operation\n", measure.id);
                status = 1;
                continue;
            }
            std::printf("measure %s %zu %.1f\n", measure.id, options.values, Median(samples));
            std::fflush(stdout);
        }
    }
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, bench::kRoot);
    return status;
}
