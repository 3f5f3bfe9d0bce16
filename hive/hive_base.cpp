// A hive's base block, as the primary file and each log's first sector hold it.
#include "byte_order.h"
#include "hex.h"
#include "hive_read_parts.h"

namespace hive::detail {

using namespace format;

Base ReadBase(std::span<const std::uint8_t> bytes) {
    Base b;
    if (bytes.size() < kLogSector) return b;
    const std::uint8_t* p = bytes.data();
    b.signatureOk = HasSig(bytes, base::kSignature, sig::kHive);
    b.checksumOk = ReadLe32(p + base::kChecksum) == BaseBlockChecksum(p);
    b.seq1 = ReadLe32(p + base::kSeq1);
    b.seq2 = ReadLe32(p + base::kSeq2);
    b.written = ReadLe64(p + base::kWritten);
    b.major = ReadLe32(p + base::kMajor);
    b.fields.minor = ReadLe32(p + base::kMinor);
    b.type = ReadLe32(p + base::kType);
    b.format = ReadLe32(p + base::kFormat);
    b.fields.root = ReadLe32(p + base::kRoot);
    b.fields.binsSize = ReadLe32(p + base::kBinsSize);
    return b;
}

std::string BaseFault(const Base& b) {
    if (b.major != base::kMajorVersion || b.fields.minor < base::kMinMinor || b.fields.minor > base::kMaxMinor)
        return "hive format version " + std::to_string(b.major) + "." + std::to_string(b.fields.minor) + " (" +
               std::to_string(base::kMajorVersion) + "." + std::to_string(base::kMinMinor) + " to " +
               std::to_string(base::kMajorVersion) + "." + std::to_string(base::kMaxMinor) + " are read)";
    if (b.format != base::kFileFormat) return "a base block of file format " + std::to_string(b.format);
    if (b.fields.binsSize % kPageSize != 0)
        return "hive bins data size " + Hex(b.fields.binsSize) + ", not whole pages";
    return {};
}

}  // namespace hive::detail
