#pragma once
// Hives shaped like the ones Windows keeps, for the import benchmarks: a SYSTEM hive of Windows 10
// (device properties under Enum), a SOFTWARE hive and a user's NTUSER.DAT. What makes them alike is
// what an import spends its time on: name lengths, values per key, the spread of value sizes, the
// mix of types and how deep and wide the keys nest. HiveShape measures those on any hive, so that
// the generated ones can be held to the numbers real hives show.
#include "hive.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string_view>
#include <vector>

namespace hiveshape {

enum class Shape { System, Software, User };

std::optional<Shape> ShapeNamed(std::string_view name);

// Where the generation stops: after so many keys, or once the cells reach about so many bytes.
struct Limits {
    std::uint64_t keys = 0;
    std::uint64_t bytes = 0;
};

struct Generated {
    std::uint64_t keys = 0;
    std::uint64_t values = 0;
};

// Writes the keys below the root key that `writer` has begun (the same on every run).
Generated Generate(Shape shape, const Limits& limits, hive::Writer& writer);

// The statistics real hives were described by.
class HiveShape : public hive::Visitor {
public:
    void BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) override;
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override;
    void EndKey() override;

    std::uint64_t Keys() const { return keys_; }  // the root not counted
    std::uint64_t Values() const { return sizes_.size(); }
    double KeyNameLength() const;    // mean, in UTF-16 units
    double ValueNameLength() const;  // mean
    double ValuesPerKey() const;
    std::uint32_t SizePercentile(int percent) const;  // bytes of data
    std::uint32_t LargestValue() const;
    double TypeShare(std::uint32_t type) const;  // of all values, 0..1
    double DevicePropertyShare() const;          // types 0xFFFF0000 and above
    int MaxDepth() const { return maxDepth_; }
    double MeanDepth() const;  // of keys, the root's children at 1

private:
    int depth_ = -1;
    int maxDepth_ = 0;
    std::uint64_t keys_ = 0, keyNameUnits_ = 0, valueNameUnits_ = 0, depthSum_ = 0;
    std::map<std::uint32_t, std::uint64_t> types_;
    mutable std::vector<std::uint32_t> sizes_;
    mutable bool sorted_ = true;
};

}  // namespace hiveshape
