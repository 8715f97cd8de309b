#include "FreedBlockWatch.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace freed_block_watch {
namespace {

constexpr unsigned char kFill = 0xDD;
constexpr std::size_t kMaxKept = 64;

std::atomic<std::size_t> g_watchedSize{0};
std::mutex g_lock;
// Plain arrays: the watch must not allocate from inside operator delete.
void* g_kept[kMaxKept];
std::size_t g_keptSize[kMaxKept];
std::size_t g_keptCount = 0;

bool Keep(void* block, std::size_t size) {
    if (size == 0 || size != g_watchedSize.load()) return false;
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_keptCount == kMaxKept) return false;
    std::memset(block, kFill, size);
    g_kept[g_keptCount] = block;
    g_keptSize[g_keptCount] = size;
    ++g_keptCount;
    return true;
}

}  // namespace

void Arm(std::size_t blockSize) { g_watchedSize = blockSize; }

void Disarm() { g_watchedSize = 0; }

std::size_t FreedBlocks() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_keptCount;
}

bool AllUntouched() {
    std::lock_guard<std::mutex> lock(g_lock);
    for (std::size_t i = 0; i < g_keptCount; ++i) {
        const auto* bytes = static_cast<const unsigned char*>(g_kept[i]);
        for (std::size_t b = 0; b < g_keptSize[i]; ++b)
            if (bytes[b] != kFill) return false;
    }
    return true;
}

}  // namespace freed_block_watch

// The program's own allocation functions (replacing the library's), so that
// sized deletes of the watched size can be kept.
void* operator new(std::size_t size) {
    void* block = std::malloc(size ? size : 1);
    if (!block) throw std::bad_alloc();
    return block;
}

void* operator new[](std::size_t size) { return ::operator new(size); }

void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return std::malloc(size ? size : 1); }

void operator delete(void* block) noexcept { std::free(block); }

void operator delete[](void* block) noexcept { std::free(block); }

void operator delete(void* block, std::size_t size) noexcept {
    if (block && freed_block_watch::Keep(block, size)) return;
    std::free(block);
}

void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }

void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
