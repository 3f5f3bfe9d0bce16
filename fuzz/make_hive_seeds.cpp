// Writes the seeds of the hive fuzz targets into DIR/hive_read_fuzzer, DIR/hive_logs_fuzzer and
// DIR/hive_replay_fuzzer: hives the writer makes and the logs of the hive tests' kinds.
//   make_hive_seeds DIR   (fuzz/make-seeds runs it)
#include "HiveKit.h"

#include <filesystem>
#include <fstream>

using namespace hivekit;

namespace {

void Save(const std::filesystem::path& dir, const std::string& name, const Bytes& bytes) {
    std::filesystem::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    const std::filesystem::path out = argv[1];
    Node names{
        u"ROOT", {{u"", 1, Utf16(u"d")}, {u"\u00e9", 4, {1, 2, 3, 4}}, {u"big", 3, Bytes(16400, 7)}}, {}, u"cls"};
    names.children.push_back({u"\U0001F600\u660e", {{u"x", 3, {1, 2, 3, 4, 5}}}});
    Node wide{u"W"};
    for (int i = 0; i < 520; ++i)
        wide.children.push_back({u"k" + std::u16string{char16_t('a' + i / 26 % 26), char16_t('a' + i % 26)}});
    const Bytes s0 = Write(State(0)), s1 = Write(State(1)), s2 = Write(State(2));
    Save(out / "hive_read_fuzzer", "names", Write(names));
    Save(out / "hive_read_fuzzer", "ri", Write(wide));
    Save(out / "hive_read_fuzzer", "state0", s0);

    const Bytes dirty = Dirty(s0, 11, 10);
    const std::vector<std::pair<std::string, std::vector<Bytes>>> logs = {
        {"two-entries", {NewLog(s0, 10, {Entry(10, s0, s1), Entry(11, s1, s2)}), {}}},
        {"continued", {NewLog(s0, 10, {Entry(10, s0, s1)}), NewLog(s0, 11, {Entry(11, s1, s2)})}},
        {"stale", {NewLog(s0, 8, {Entry(8, s0, s2)}), NewLog(s0, 10, {Entry(9, s0, s2), Entry(10, s0, s1)})}},
        {"old-format", {OldLog(s0, s2), {}}},
    };
    for (const auto& [name, pair] : logs) {
        Save(out / "hive_logs_fuzzer", name, Pack({dirty, pair[0], pair[1]}));
        Save(out / "hive_replay_fuzzer", name, pair[0]);
    }
    return 0;
}
