#pragma once
// Work on many items by several threads, its results handed over in the items' order as soon as each
// and all before it are done: a listing of many sources prints in the order given, while it reads them
// side by side.
#include <sched.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace common {

// The CPUs this process may run on (its affinity, as a container or taskset leaves it).
inline unsigned UsableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return unsigned(CPU_COUNT(&set));
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

// Calls work(i) for every i below `count` on up to `jobs` threads, and deliver(i, result) on the
// calling thread in the order of i; tick(done) there too, whenever an item is done. An exception from
// `work` ends nothing else: it is thrown again from here once every item already started is done.
template <typename Result>
void InOrder(std::size_t count, unsigned jobs, const std::function<Result(std::size_t)>& work,
             const std::function<void(std::size_t, Result&)>& deliver,
             const std::function<void(std::size_t done)>& tick = {}) {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::optional<Result>> results(count);
    std::exception_ptr fault;
    std::size_t next = 0, done = 0;
    const auto worker = [&] {
        for (;;) {
            std::size_t i;
            {
                const std::lock_guard lock(mutex);
                if (next == count || fault) return;
                i = next++;
            }
            std::optional<Result> result;
            std::exception_ptr thrown;
            try {
                result.emplace(work(i));
            } catch (...) {
                thrown = std::current_exception();
            }
            const std::lock_guard lock(mutex);
            if (thrown && !fault) fault = thrown;
            results[i] = std::move(result);
            ++done;
            changed.notify_all();
        }
    };
    const unsigned threads = unsigned(std::min<std::size_t>(std::max(jobs, 1U), count));
    std::vector<std::thread> pool;
    pool.reserve(threads);
    for (unsigned t = 0; t < threads; ++t) pool.emplace_back(worker);
    // Whatever ends the delivery, the threads end first: none takes another item.
    const auto stop = [&] {
        {
            const std::lock_guard lock(mutex);
            next = count;
        }
        for (std::thread& t : pool) t.join();
    };
    std::size_t delivered = 0, ticked = 0;
    std::unique_lock lock(mutex);
    try {
        while (delivered < count && !fault) {
            changed.wait(lock, [&] { return fault || done > ticked; });
            const std::size_t doneNow = done;
            std::vector<std::size_t> ready;
            while (delivered < count && results[delivered]) ready.push_back(delivered++);
            lock.unlock();
            if (tick && doneNow > ticked) tick(doneNow);
            ticked = doneNow;
            for (const std::size_t i : ready) {
                deliver(i, *results[i]);
                results[i].reset();
            }
            lock.lock();
        }
    } catch (...) {
        if (lock.owns_lock()) lock.unlock();
        stop();
        throw;
    }
    lock.unlock();
    stop();
    if (fault) std::rethrow_exception(fault);
}

}  // namespace common
