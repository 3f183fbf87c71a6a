// Memory for whole voice files: large blocks in large pages where the system has them.
#include <cstdint>
#include <cstdlib>
#include <new>

#include "engine/byte_string.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarnwick {
namespace {

#if defined(__linux__)
constexpr std::size_t kLargePage = std::size_t{2} << 20;
// Below this, malloc's own blocks do as well.
constexpr std::size_t kMapped = 4 * kLargePage;

std::size_t mapped_size(std::size_t size) { return (size + kLargePage - 1) / kLargePage * kLargePage; }
#endif

}  // namespace

void* allocate_voice_memory(std::size_t size) {
#if defined(__linux__)
    if (size >= kMapped) {
        // Enough to start at a large page's edge, the rest given back.
        const std::size_t wanted = mapped_size(size);
        void* mapped = ::mmap(nullptr, wanted + kLargePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED) throw std::bad_alloc();
        auto* const first = static_cast<char*>(mapped);
        const std::size_t lead = (kLargePage - reinterpret_cast<std::uintptr_t>(first) % kLargePage) % kLargePage;
        if (lead > 0) ::munmap(first, lead);
        if (kLargePage - lead > 0) ::munmap(first + lead + wanted, kLargePage - lead);
        ::madvise(first + lead, wanted, MADV_HUGEPAGE);  // a hint: without large pages it is ordinary memory
        return first + lead;
    }
#endif
    if (size == 0) size = 1;
    if (void* memory = std::malloc(size)) return memory;
    throw std::bad_alloc();
}

void free_voice_memory(void* memory, std::size_t size) noexcept {
#if defined(__linux__)
    if (size >= kMapped) {
        ::munmap(memory, mapped_size(size));
        return;
    }
#else
    (void)size;
#endif
    std::free(memory);
}

}  // namespace tarnwick
