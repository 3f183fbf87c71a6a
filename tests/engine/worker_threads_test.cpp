#include "engine/worker_threads.h"

#include <atomic>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

// Every block is done once whatever the threads; after a block says stop or
// throws, one thread does no other block; a throw reaches the caller.
TEST(WorkerThreads, EveryBlockOnceUntilOneSaysStopOrThrows) {
    struct Case {
        int workers;
        std::int64_t stop_at;   // -1: none says stop
        std::int64_t throw_at;  // -1: none throws
    };
    constexpr std::int64_t kBlocks = 64;
    for (const Case c : {Case{1, -1, -1}, Case{3, -1, -1}, Case{1, 10, -1}, Case{3, 10, -1}, Case{1, -1, 7},
                         Case{3, -1, 7}}) {
        SCOPED_TRACE(testing::Message() << c.workers << " threads, stop at " << c.stop_at << ", throw at " << c.throw_at);
        std::vector<std::atomic<int>> done(kBlocks);
        bool threw = false;
        try {
            for_each_block(kBlocks, c.workers, [&](std::int64_t b, int worker) {
                EXPECT_TRUE(worker >= 0 && worker < c.workers) << worker;
                ++done[static_cast<std::size_t>(b)];
                if (b == c.throw_at) throw std::runtime_error("block");
                return b != c.stop_at;
            });
        } catch (const std::runtime_error&) {
            threw = true;
        }
        EXPECT_EQ(threw, c.throw_at >= 0);
        const std::int64_t last = c.stop_at >= 0 ? c.stop_at : c.throw_at >= 0 ? c.throw_at : kBlocks - 1;
        std::int64_t beyond = 0;
        for (std::int64_t b = 0; b < kBlocks; ++b) {
            const int times = done[static_cast<std::size_t>(b)];
            if (b <= last) {
                EXPECT_EQ(times, 1) << "block " << b;
            } else {
                beyond += times;
            }
            EXPECT_LE(times, 1) << "block " << b;
        }
        // One thread stops at once. Other threads take blocks until they see
        // the stop, and a thread the system holds back between a block and
        // the stop (or a throw still unwinding) may let them take any number,
        // so only one thread's count is certain.
        if (c.workers == 1) {
            EXPECT_EQ(beyond, 0);
        }
    }
}

}  // namespace
}  // namespace tarnwick
