// Work spread over threads comes back in the items' order, each once, whatever order it finishes in.
#include "in_order.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

TEST(InOrder, DeliversEveryItemOnceInOrder) {
    struct Case {
        std::size_t count;
        unsigned jobs;
    };
    const Case cases[] = {{0, 4}, {1, 1}, {1, 8}, {40, 1}, {40, 2}, {40, 8}, {7, 100}, {25, 0}};
    for (const auto& c : cases) {
        const std::string what = std::to_string(c.count) + " items, " + std::to_string(c.jobs) + " jobs";
        // Later items often finish first: delivery must still wait for the ones before.
        std::mt19937 random(unsigned(c.count * 31 + c.jobs));
        std::vector<int> delay(c.count);
        for (int& d : delay) d = int(random() % 3000);
        std::vector<std::size_t> delivered;
        std::size_t lastTick = 0;
        bool ticksRise = true;
        common::InOrder<std::string>(
            c.count, c.jobs,
            [&](std::size_t i) {
                std::this_thread::sleep_for(std::chrono::microseconds(delay[i]));
                return "item " + std::to_string(i);
            },
            [&](std::size_t i, std::string& result) {
                EXPECT_EQ(result, "item " + std::to_string(i)) << what;
                delivered.push_back(i);
            },
            [&](std::size_t done) {
                ticksRise = ticksRise && done > lastTick && done <= c.count;
                lastTick = done;
            });
        ASSERT_EQ(delivered.size(), c.count) << what;
        for (std::size_t i = 0; i < c.count; ++i) EXPECT_EQ(delivered[i], i) << what;
        EXPECT_TRUE(ticksRise) << what;
        EXPECT_EQ(lastTick, c.count) << what;
    }
}

// A fault in one item is thrown to the caller once the threads have stopped; nothing from it or after
// it is delivered, and one thread alone starts nothing after it.
TEST(InOrder, AFaultIsThrownAfterTheThreadsEnd) {
    for (const unsigned jobs : {1U, 3U}) {
        std::atomic<std::size_t> started{0};
        std::vector<std::size_t> delivered;
        EXPECT_THROW(common::InOrder<int>(
                         1000, jobs,
                         [&](std::size_t i) {
                             ++started;
                             if (i == 5) throw std::runtime_error("damaged");
                             return int(i);
                         },
                         [&](std::size_t i, int&) { delivered.push_back(i); }),
                     std::runtime_error)
            << jobs;
        if (jobs == 1) {
            EXPECT_EQ(started.load(), 6U);
        }
        for (std::size_t i = 0; i < delivered.size(); ++i) EXPECT_EQ(delivered[i], i) << jobs;
        EXPECT_LE(delivered.size(), 5U) << jobs;
    }
}

// A delivery that throws (a closed pipe) ends the delivery; the threads are joined before it is thrown on.
TEST(InOrder, AFailedDeliveryEndsTheDelivery) {
    std::size_t deliveries = 0;
    EXPECT_THROW(common::InOrder<int>(
                     500, 2, [](std::size_t i) { return int(i); },
                     [&](std::size_t i, int&) {
                         ++deliveries;
                         if (i == 3) throw std::runtime_error("stdout closed");
                     }),
                 std::runtime_error);
    EXPECT_EQ(deliveries, 4U);
}

TEST(InOrder, UsableCpusIsAtLeastOne) {
    EXPECT_GE(common::UsableCpus(), 1U);
    EXPECT_LE(common::UsableCpus(), std::thread::hardware_concurrency() > 0 ? std::thread::hardware_concurrency() : 1U);
}

}  // namespace
