#pragma once
// The registry measures, one list for both builds: Google Benchmark runs them on the portable store,
// and a small timing loop of ours runs the same code as a Windows program under Wine.
#include "QxRegistry.h"
#include "winapi.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace bench {

// Everything the benchmarks write lives under HKEY_LOCAL_MACHINE\<kRoot>.
inline constexpr const char* kRoot = "Software\\versioninfo-bench";

// The generated data: values/10 keys of 10 values each (even names REG_SZ, odd REG_DWORD), a hundred
// keys per group. scripts/bench writes .reg files of the same shape.
inline constexpr std::size_t kValuesPerKey = 10;
inline constexpr std::size_t kKeysPerGroup = 100;
std::string DataKeyPath(std::size_t key);
std::string DataString(std::size_t key, std::size_t value);

// Writes the generated data. The caller picks the transaction (the portable store makes the whole
// fill one).
LONG FillValues(std::size_t values);

// The keys and handles the measures work on, opened once the data are in place.
class Session {
public:
    // `readOnly`: for a user who may only read the store; the measures that write are not run.
    explicit Session(std::size_t values, bool readOnly = false);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Ready() const { return ready_; }

    std::vector<std::string> readPaths;  // data keys spread over the whole store
    HKEY readKey = nullptr;              // one of them, open for reading
    QxRegistry writer;                   // a key of its own for SetLong and SetStringValue
    std::uint64_t created = 0;           // keys made so far by the CreateKey measure

private:
    bool ready_ = false;
};

// One operation per call; `i` counts the calls of this run. False when the registry refused it,
// which makes the run worthless.
struct Measure {
    const char* id;
    const char* label;
    bool (*run)(Session&, std::uint64_t i);
    bool writes = false;
};
std::span<const Measure> Measures();

}  // namespace bench
