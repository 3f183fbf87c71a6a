#include "engine/worker_threads.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tarnwick {

int worker_count() {
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
    return 1;
#else
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
#endif
}

void for_each_block(std::int64_t blocks, int workers, const std::function<bool(std::int64_t, int)>& block) {
    std::atomic<std::int64_t> next{0};
    std::atomic<bool> stop{false};
    // What a block threw (memory running out, say), thrown again in the
    // calling thread: a throw out of a helper would end the program.
    std::mutex lock;
    std::exception_ptr thrown;
    const auto work = [&](int worker) {
        try {
            while (!stop.load(std::memory_order_relaxed)) {
                const std::int64_t b = next.fetch_add(1, std::memory_order_relaxed);
                if (b >= blocks) return;
                if (!block(b, worker)) stop.store(true, std::memory_order_relaxed);
            }
        } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            const std::lock_guard<std::mutex> hold(lock);
            if (!thrown) thrown = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
#if !defined(__EMSCRIPTEN__) || defined(__EMSCRIPTEN_PTHREADS__)
    for (int i = 1; i < workers && i < blocks; ++i) {
        try {
            helpers.emplace_back(work, i);
        } catch (const std::system_error&) {
            break;  // those started, and this thread, do every block
        }
    }
#else
    (void)workers;
#endif
    work(0);
    for (std::thread& helper : helpers) helper.join();
    if (thrown) std::rethrow_exception(thrown);
}

}  // namespace tarnwick
