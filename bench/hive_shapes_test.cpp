// The generated hives are shaped like the real ones they stand for: an import benchmark on a hive
// of other names, sizes or types would measure another workload.
#include "hive_shapes.h"

#include <gtest/gtest.h>

namespace {

struct Range {
    double lo, hi;
};

struct ShapeCase {
    const char* shape;
    Range keyName, valueName, valuesPerKey, median, p90, largest, sz, dword, binary, multiSz, expandSz,
        deviceProperties;
};

// Real SYSTEM and SOFTWARE hives: key names of 17-20 units, value names of about 11, 2.1-2.4
// values a key, a median value of 16-20 bytes (90th percentile about 100, largest 200-270 KB),
// 36-50% REG_SZ, 18-25% REG_DWORD, 10-18% REG_BINARY, 3-4% each REG_MULTI_SZ and REG_EXPAND_SZ, and
// in Windows 10's SYSTEM about a tenth of device property types. A user hive's largest is smaller.
const ShapeCase kShapes[] = {
    {"system",
     {17, 20},
     {9.5, 12},
     {2.0, 2.4},
     {16, 20},
     {80, 120},
     {200e3, 270e3},
     {.36, .50},
     {.18, .25},
     {.10, .18},
     {.03, .045},
     {.03, .045},
     {.08, .12}},
    {"software",
     {17, 20},
     {10, 12},
     {2.1, 2.4},
     {16, 20},
     {80, 120},
     {200e3, 270e3},
     {.36, .50},
     {.18, .25},
     {.10, .18},
     {.025, .045},
     {.03, .045},
     {0, 0}},
    {"user",
     {17, 20},
     {10, 12},
     {2.1, 2.4},
     {16, 20},
     {80, 120},
     {60e3, 100e3},
     {.36, .50},
     {.18, .25},
     {.10, .20},
     {.025, .045},
     {.025, .045},
     {0, 0}},
};

TEST(HiveShapes, GeneratedHivesHaveTheStatisticsOfRealOnes) {
    for (const ShapeCase& c : kShapes) {
        SCOPED_TRACE(c.shape);
        hive::Writer writer;
        writer.BeginKey(u"ROOT");
        const auto generated = hiveshape::Generate(*hiveshape::ShapeNamed(c.shape), {.keys = 20000}, writer);
        writer.EndKey();
        const std::vector<std::uint8_t> file = writer.Finish();
        hiveshape::HiveShape s;
        hive::ReadHive({c.shape, file}, {}, s);
        EXPECT_EQ(s.Keys(), generated.keys);
        EXPECT_EQ(s.Values(), generated.values);
        const std::pair<double, Range> checks[] = {
            {s.KeyNameLength(), c.keyName},
            {s.ValueNameLength(), c.valueName},
            {s.ValuesPerKey(), c.valuesPerKey},
            {s.SizePercentile(50), c.median},
            {s.SizePercentile(90), c.p90},
            {s.LargestValue(), c.largest},
            {s.TypeShare(1), c.sz},
            {s.TypeShare(4), c.dword},
            {s.TypeShare(3), c.binary},
            {s.TypeShare(7), c.multiSz},
            {s.TypeShare(2), c.expandSz},
            {s.DevicePropertyShare(), c.deviceProperties},
        };
        for (std::size_t i = 0; i < std::size(checks); ++i) {
            const auto& [got, want] = checks[i];
            EXPECT_TRUE(got >= want.lo && got <= want.hi)
                << "statistic " << i << " is " << got << ", not in [" << want.lo << ", " << want.hi << "]";
        }
        // Nested as the registry's trees are: most keys several levels down, none past a dozen or so.
        EXPECT_GE(s.MeanDepth(), 4);
        EXPECT_LE(s.MaxDepth(), 16);
    }
}

TEST(HiveShapes, TheSameHiveOnEveryRun) {
    auto once = [] {
        hive::Writer writer;
        writer.BeginKey(u"ROOT");
        hiveshape::Generate(hiveshape::Shape::User, {.keys = 3000}, writer);
        writer.EndKey();
        return writer.Finish();
    };
    EXPECT_EQ(once(), once());
}

TEST(HiveShapes, StopsAtTheLimitAsked) {
    const struct {
        hiveshape::Limits limits;
        std::uint64_t minKeys, maxKeys;
    } cases[] = {{{.keys = 500}, 500, 500}, {{.keys = 12345}, 12345, 12345}, {{.bytes = 2000000}, 2000, 20000}};
    for (const auto& c : cases) {
        hive::Writer writer;
        writer.BeginKey(u"ROOT");
        const auto g = hiveshape::Generate(hiveshape::Shape::Software, c.limits, writer);
        writer.EndKey();
        EXPECT_GE(g.keys, c.minKeys);
        EXPECT_LE(g.keys, c.maxKeys);
    }
}

}  // namespace
