// The process's block cache as it is first made, and allocations that fail for want of address
// space. Each test runs in a child process forked for it, so that the cache is made there with
// the child's environment and limits: nothing in this test process itself may use the shared
// cache. A child ends by its alarm should it hang.

#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>

#include "core/numerics/address_sanitizer.hpp"
#include "core/numerics/allocation.hpp"
#include "core/numerics/block_cache.hpp"

namespace tarvek {
namespace {

constexpr std::size_t mib = std::size_t{1} << 20;

// Runs `body` in a child process: 0 when it held, else the number of the check that failed.
template <class Body>
int in_child(Body body) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        alarm(20);
        int result = 0;
        try {
            result = body();
        } catch (...) {
            result = 100;
        }
        _exit(result);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
}

// The address space the process has mapped.
std::uint64_t mapped_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    return pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
}

// Leaves the process `more` bytes of address space beyond what it has mapped.
bool limit_address_space(std::uint64_t more) {
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0) return false;
    limit.rlim_cur = mapped_bytes() + more;
    return setrlimit(RLIMIT_AS, &limit) == 0;
}

// The sanitizer's allocator reports a failed allocation and ends the process: it neither
// returns nothing nor calls a new-handler.
constexpr const char* sanitizer_allocator = "the sanitizer's allocator ends the process instead";

// Each row sets TARVEK_BLOCK_CACHE (or not) before the shared cache's first use, and gives a
// block of a kept size back: whether it is kept.
TEST(SharedBlockCache, TheSettingTurnsItOff) {
    struct Row {
        const char* setting;
        bool kept;
    };
    const Row rows[] = {{nullptr, true}, {"1", true}, {"0", false}};
    for (const Row& row : rows) {
        const int failed = in_child([&] {
            if (row.setting != nullptr) setenv("TARVEK_BLOCK_CACHE", row.setting, 1);
            BlockCache& cache = BlockCache::shared();
            auto* const block = static_cast<unsigned char*>(cache.allocate(mib));
            std::memset(block, 1, mib);
            cache.deallocate(block, mib);
            return cache.kept_blocks() == (row.kept ? 1u : 0u) ? 0 : 1;
        });
        EXPECT_EQ(failed, 0) << (row.setting != nullptr ? row.setting : "unset");
    }
}

// Made under an address-space limit below the allocation ceiling, the shared cache keeps at most
// a sixteenth of the limit.
TEST(SharedBlockCache, KeepsAShareOfTheAddressSpaceLimit) {
    const std::uint64_t space = mapped_bytes() + 512 * mib;
    if (space >= allocation_ceiling()) GTEST_SKIP() << "the ceiling is the lower";
    const int failed = in_child([] {
        if (!limit_address_space(512 * mib)) return 1;
        rlimit limit{};
        getrlimit(RLIMIT_AS, &limit);
        BlockCache& cache = BlockCache::shared();
        constexpr std::size_t bytes = 16 * mib;
        void* blocks[4];
        for (void*& block : blocks) block = cache.allocate(bytes);
        for (void* block : blocks) cache.deallocate(block, bytes);
        if (cache.kept_blocks() == 0) return 2;
        return cache.kept_bytes() <= limit.rlim_cur / 16 ? 0 : 3;
    });
    EXPECT_EQ(failed, 0);
}

// An allocation anywhere in the process that fails for want of address space: the shared
// cache's kept block goes back and it succeeds. Rows with a new-handler installed before the
// cache was made: that handler has its turn when the cache has nothing to give back.
TEST(SharedBlockCache, GivesItsBlocksBackBeforeAnyAllocationFails) {
    if (address_sanitizer) GTEST_SKIP() << sanitizer_allocator;
    struct Row {
        bool earlier_handler, kept;
    };
    const Row rows[] = {{false, true}, {true, false}, {true, true}};
    static bool called = false;
    for (const Row& row : rows) {
        const int failed = in_child([&] {
            if (row.earlier_handler) {
                std::set_new_handler([] {
                    called = true;
                    throw std::bad_alloc();
                });
            }
            BlockCache& cache = BlockCache::shared();
            if (row.kept) cache.deallocate(cache.allocate(32 * mib), 32 * mib);
            if (cache.kept_blocks() != (row.kept ? 1u : 0u)) return 1;
            if (!limit_address_space(16 * mib)) return 2;
            char* table = nullptr;
            try {
                table = new char[24 * mib];
            } catch (const std::bad_alloc&) {
            }
            if ((table != nullptr) != row.kept) return 3;
            if (called != (row.earlier_handler && !row.kept)) return 4;
            delete[] table;
            return cache.kept_blocks() == 0 ? 0 : 5;
        });
        EXPECT_EQ(failed, 0) << row.earlier_handler << " " << row.kept;
    }
}

// A cache of its own (no new-handler of the process's cache): a block below the smallest kept
// size the heap cannot give is given once the kept blocks went back.
TEST(SharedBlockCache, SmallBlocksTakeTheKeptBlocksPlaceWhenTheHeapHasNone) {
    if (address_sanitizer) GTEST_SKIP() << sanitizer_allocator;
    const int failed = in_child([] {
        BlockCache cache({.smallest_block = 64 * mib, .most_blocks = 8, .most_bytes = 1ull << 30});
        cache.deallocate(cache.allocate(64 * mib), 64 * mib);
        if (cache.kept_blocks() != 1) return 1;
        if (!limit_address_space(16 * mib)) return 2;
        void* const block = cache.allocate(48 * mib);
        std::memset(block, 1, 48 * mib);
        cache.deallocate(block, 48 * mib);
        return cache.kept_blocks() == 0 ? 0 : 3;
    });
    EXPECT_EQ(failed, 0);
}

// The system refuses every new mapping; the heap still has room from blocks freed before: the
// page source's blocks come from the heap.
TEST(SharedBlockCache, ThePagesComeFromTheHeapWhenMappingsAreRefused) {
    if (address_sanitizer) GTEST_SKIP() << sanitizer_allocator;
    const int failed = in_child([] {
        // Heap blocks of a few MiB from the heap's own pages, kept there once freed.
        mallopt(M_MMAP_THRESHOLD, 32 * mib);
        mallopt(M_TRIM_THRESHOLD, 256 * mib);
        void* volatile room = std::malloc(8 * mib);  // volatile: else the pair is elided
        std::free(room);
        BlockCache cache({.smallest_block = 1 << 16, .most_blocks = 8, .most_bytes = 1ull << 30},
                         page_block_source());
        if (!limit_address_space(0)) return 1;
        auto* const block = static_cast<unsigned char*>(cache.allocate(mib));
        std::memset(block, 1, mib);
        cache.deallocate(block, mib);
        cache.release();
        return 0;
    });
    EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace tarvek
