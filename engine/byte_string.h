// Byte strings as values, and views of them: the engine's one type for bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarnwick {

using ByteString = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

// Memory for a whole voice file: large blocks come straight from the system
// in large pages where it has them, so that reading a file into them costs a
// page fault every 2 MiB and not every 4 KiB.
void* allocate_voice_memory(std::size_t size);
void free_voice_memory(void* memory, std::size_t size) noexcept;

// Leaves new elements as they are instead of clearing them, in memory from
// allocate_voice_memory: a buffer a whole voice file is about to be read into
// is not written over once first.
template <typename T>
struct VoiceAllocator {
    using value_type = T;
    VoiceAllocator() = default;
    template <typename U>
    VoiceAllocator(const VoiceAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(allocate_voice_memory(count * sizeof(T))); }
    void deallocate(T* memory, std::size_t count) noexcept { free_voice_memory(memory, count * sizeof(T)); }

    template <typename U, typename... Args>
    void construct(U* at, Args&&... args) {
        if constexpr (sizeof...(Args) == 0 && std::is_trivially_default_constructible_v<U>) {
            // Left as it is: no per-byte loop even where a build keeps empty ones.
        } else if constexpr (sizeof...(Args) == 0) {
            ::new (static_cast<void*>(at)) U;
        } else {
            ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
        }
    }
    template <typename U>
    void destroy(U* at) noexcept {
        if constexpr (!std::is_trivially_destructible_v<U>) at->~U();
    }
    template <typename U>
    bool operator==(const VoiceAllocator<U>&) const noexcept { return true; }
};

// The bytes of a whole voice file in memory.
using VoiceBytes = std::vector<std::uint8_t, VoiceAllocator<std::uint8_t>>;

// One run of bytes a patch run changed: what the file held there when it was
// opened, and what it is to hold.
struct ChangedRange {
    std::int64_t offset = 0;
    ByteString old_bytes;
    ByteString new_bytes;  // as long as old_bytes

    bool operator==(const ChangedRange&) const = default;
};

}  // namespace tarnwick
