// Passes over a whole voice shared among the processor's cores.
#pragma once

#include <cstdint>
#include <functional>

namespace tarnwick {

// The threads a pass over a large voice is shared among: the processor's
// cores, up to eight (more gain little where memory is the limit); one where
// the build has no threads.
int worker_count();

// Calls `block(b, worker)` once for every b in [0, blocks), on up to
// `workers` threads (the calling one among them, worker 0; the others
// 1 .. workers - 1, so that each may keep things of its own) that each take
// the next b in turn, and returns when every call has. Once a call returns
// false, or throws, no further block is begun; the first throw is thrown
// again here. Where no more threads can be had, fewer do every block.
void for_each_block(std::int64_t blocks, int workers, const std::function<bool(std::int64_t, int)>& block);

}  // namespace tarnwick
