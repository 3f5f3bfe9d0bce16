#include "read_ahead.h"

#include <cassert>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace hive {
namespace {

// The calls are handed over in chunks of about this size, and the reader waits while this many
// are not yet taken: the memory the hand-over needs stays bounded whatever the hive's size.
constexpr std::size_t kChunkBytes = 128 * 1024;
constexpr std::size_t kChunksAhead = 4;

// One call as it lies in a chunk: this header, the name's UTF-16 units, then the class name's
// units or the value's data, the whole padded to kAlign so that the next header is aligned.
enum class Call : std::uint32_t { BeginKey, Value, EndKey };
struct Header {
    Call call;
    std::uint32_t nameUnits;
    std::uint32_t extra;  // BeginKey: the class name's units; Value: its type
    std::uint32_t dataBytes;
    std::uint64_t lastWritten;
};
constexpr std::size_t kAlign = alignof(Header);
static_assert(sizeof(Header) % kAlign == 0 && alignof(char16_t) <= kAlign);

constexpr std::size_t Padded(std::size_t n) {
    return (n + kAlign - 1) / kAlign * kAlign;
}

using Chunk = std::vector<std::uint8_t>;

// The visitor stopped: the reader ends without reading further.
struct Stopped {};

// Chunks from the reader's thread to the visitor's, and empty ones back.
class Handover {
public:
    // Blocks while the visitor is kChunksAhead behind; throws Stopped once it gave up.
    void Put(Chunk& chunk) {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || full_.size() < kChunksAhead; });
        if (stopped_) throw Stopped{};
        full_.push_back(std::move(chunk));
        chunk.clear();
        if (!empty_.empty()) {
            chunk = std::move(empty_.back());
            empty_.pop_back();
        }
        changed_.notify_all();
    }
    // The next chunk, or false once the reader has ended and every chunk was taken.
    bool Take(Chunk& chunk) {
        std::unique_lock lock(mutex_);
        if (chunk.capacity() > 0) {  // the one taken before, emptied
            chunk.clear();
            empty_.push_back(std::move(chunk));
        }
        changed_.wait(lock, [&] { return !full_.empty() || ended_; });
        if (full_.empty()) return false;
        chunk = std::move(full_.front());
        full_.pop_front();
        changed_.notify_all();
        return true;
    }
    void End(std::exception_ptr failure) {
        std::lock_guard lock(mutex_);
        ended_ = true;
        failure_ = std::move(failure);
        changed_.notify_all();
    }
    void Stop() {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }
    std::exception_ptr Failure() {
        std::lock_guard lock(mutex_);
        assert(ended_);
        return failure_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Chunk> full_;
    std::vector<Chunk> empty_;
    bool ended_ = false;    // the reader made its last call
    bool stopped_ = false;  // the visitor gave up
    std::exception_ptr failure_;
};

// On the reader's thread: writes each call into the chunk being filled.
class Recorder : public Visitor {
public:
    Recorder(Handover& handover, std::atomic<std::uint64_t>* keysRead) : handover_(handover), keysRead_(keysRead) {
        chunk_.reserve(kChunkBytes * 2);
    }

    void BeginKey(std::u16string_view name, std::u16string_view className, std::uint64_t lastWritten) override {
        const auto* cls = reinterpret_cast<const std::uint8_t*>(className.data());
        Record({Call::BeginKey, static_cast<std::uint32_t>(name.size()), static_cast<std::uint32_t>(className.size()),
                static_cast<std::uint32_t>(className.size() * sizeof(char16_t)), lastWritten},
               name, {cls, className.size() * sizeof(char16_t)});
        ++keys_;
    }
    void Value(std::u16string_view name, std::uint32_t type, std::span<const std::uint8_t> data) override {
        Record({Call::Value, static_cast<std::uint32_t>(name.size()), type, static_cast<std::uint32_t>(data.size()), 0},
               name, data);
    }
    void EndKey() override { Record({Call::EndKey, 0, 0, 0, 0}, {}, {}); }

    // Hands over what waits.
    void Flush() {
        if (keysRead_ != nullptr) keysRead_->store(keys_, std::memory_order_relaxed);
        if (!chunk_.empty()) handover_.Put(chunk_);
    }

private:
    void Record(const Header& header, std::u16string_view name, std::span<const std::uint8_t> data) {
        const std::size_t nameBytes = Padded(name.size() * sizeof(char16_t));
        const std::size_t at = chunk_.size();
        chunk_.resize(at + sizeof header + nameBytes + Padded(data.size()));
        std::uint8_t* out = chunk_.data() + at;
        std::memcpy(out, &header, sizeof header);
        if (!name.empty()) std::memcpy(out + sizeof header, name.data(), name.size() * sizeof(char16_t));
        if (!data.empty()) std::memcpy(out + sizeof header + nameBytes, data.data(), data.size());
        if (chunk_.size() >= kChunkBytes) Flush();
    }

    Handover& handover_;
    std::atomic<std::uint64_t>* keysRead_;
    std::uint64_t keys_ = 0;  // counted here, published once a chunk is handed over
    Chunk chunk_;
};

// On the visitor's thread: makes the calls a chunk holds.
void Replay(const Chunk& chunk, Visitor& visitor) {
    for (std::size_t at = 0; at < chunk.size();) {
        Header header;
        std::memcpy(&header, chunk.data() + at, sizeof header);
        at += sizeof header;
        const std::uint8_t* rest = chunk.data() + at;
        // Aligned: every header and name starts at a multiple of kAlign of an allocation.
        const std::u16string_view name(reinterpret_cast<const char16_t*>(rest), header.nameUnits);
        const std::size_t nameBytes = Padded(header.nameUnits * sizeof(char16_t));
        at += nameBytes + Padded(header.dataBytes);
        assert(at <= chunk.size());
        switch (header.call) {
            case Call::BeginKey:
                visitor.BeginKey(name, {reinterpret_cast<const char16_t*>(rest + nameBytes), header.extra},
                                 header.lastWritten);
                break;
            case Call::Value:
                visitor.Value(name, header.extra, {rest + nameBytes, header.dataBytes});
                break;
            case Call::EndKey:
                visitor.EndKey();
                break;
        }
    }
}

}  // namespace

ReadReport ReadAhead(const TreeReader& read, Visitor& visitor, std::atomic<std::uint64_t>* keysRead) {
    Handover handover;
    ReadReport report;
    std::thread reader([&] {
        Recorder recorder(handover, keysRead);
        std::exception_ptr failure;
        try {
            report = read(recorder);
        } catch (const Stopped&) {
            handover.End(nullptr);
            return;
        } catch (...) {
            failure = std::current_exception();
        }
        try {
            recorder.Flush();  // the calls before a failure too
        } catch (const Stopped&) {}
        handover.End(failure);
    });
    try {
        for (Chunk chunk; handover.Take(chunk);) Replay(chunk, visitor);
    } catch (...) {
        handover.Stop();
        reader.join();
        throw;
    }
    reader.join();
    if (const auto failure = handover.Failure()) std::rethrow_exception(failure);
    return report;
}

}  // namespace hive
