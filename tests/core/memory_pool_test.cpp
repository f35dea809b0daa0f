#include "core/memory_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"

namespace tarvek {
namespace {

constexpr std::uint64_t max_u64 = ~std::uint64_t{0};
using Bytes = std::vector<std::uint8_t>;

template <class F>
std::string error_of(F&& call) {
    try {
        call();
    } catch (const ModelError& error) {
        return error.what();
    }
    return "no error";
}

// Everything observable about a pool's layout, to show that a failure changed nothing.
std::vector<std::pair<std::uint64_t, std::uint64_t>> layout(const MemoryPool& pool) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> result{
        {pool.total_capacity(), pool.allocated_bytes()}};
    for (const PoolPageUsage& page : pool.pages())
        result.emplace_back(page.used_bytes, page.capacity);
    return result;
}

Bytes read(const MemoryPool& pool, const PoolAllocation& allocation) {
    const auto bytes = pool.get(allocation);
    return bytes ? Bytes(bytes->begin(), bytes->end()) : Bytes{0xEE};
}

void expect_place(const PoolAllocation& a, std::uint64_t page, std::uint64_t offset,
                  std::uint64_t length) {
    EXPECT_EQ(a.page, page);
    EXPECT_EQ(a.offset, offset);
    EXPECT_EQ(a.length, length);
}

TEST(MemoryPool, RequestsThatDoNotFitTheLastPageStartANewPage) {
    MemoryPool pool(16);
    expect_place(pool.allocate(10), 0, 0, 10);
    expect_place(pool.allocate(10), 1, 0, 10);
    EXPECT_EQ(pool.total_capacity(), 32u);
    EXPECT_EQ(pool.allocated_bytes(), 20u);
    expect_place(pool.allocate(40), 2, 0, 40);
    expect_place(pool.allocate(6), 3, 0, 6);  // free tails of earlier pages are never reused
    EXPECT_EQ(layout(pool),
              (decltype(layout(pool)){{88, 66}, {10, 16}, {10, 16}, {40, 40}, {6, 16}}));
    EXPECT_FALSE(pool.page(4).has_value());
}

TEST(MemoryPool, PageSizeZeroGivesPagesOfTheRequestedSize) {
    MemoryPool pool(0);
    expect_place(pool.allocate(0), 0, 0, 0);
    EXPECT_EQ(layout(pool), (decltype(layout(pool)){{0, 0}, {0, 0}}));
    expect_place(pool.allocate(5), 1, 0, 5);
    expect_place(pool.allocate(0), 1, 5, 0);
    expect_place(pool.allocate_zeroed(3, 4), 2, 0, 12);
    EXPECT_EQ(layout(pool), (decltype(layout(pool)){{17, 17}, {0, 0}, {5, 5}, {12, 12}}));
}

TEST(MemoryPool, BytesReadBackAsZerosAndWritesStayInTheirAllocation) {
    MemoryPool pool(64);
    const PoolAllocation a = pool.allocate(4);
    const PoolAllocation b = pool.allocate(4);
    EXPECT_EQ(read(pool, a), Bytes(4, 0));
    pool.set_bytes(a, 2, Bytes{7, 9});
    pool.set_bytes(b, 0, Bytes{1});
    EXPECT_EQ(read(pool, a), (Bytes{0, 0, 7, 9}));
    EXPECT_EQ(read(pool, b), (Bytes{1, 0, 0, 0}));
}

TEST(MemoryPool, BytesNeverMoveWhilePagesAreAdded) {
    MemoryPool pool(8);
    const PoolAllocation first = pool.allocate(8);
    pool.set_bytes(first, 0, Bytes{1, 2, 3, 4, 5, 6, 7, 8});
    const std::uint8_t* where = pool.get(first)->data();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(read(pool, pool.allocate(5)), Bytes(5, 0));
    EXPECT_EQ(pool.get(first)->data(), where);
    EXPECT_EQ(read(pool, first), (Bytes{1, 2, 3, 4, 5, 6, 7, 8}));
}

// allocate: size overflow, then capacity overflow, then the page reservation.
TEST(MemoryPool, AllocationSizeOverflowIsCheckedFirst) {
    MemoryPool pool(0);
    pool.allocate(1);
    const auto before = layout(pool);
    EXPECT_EQ(error_of([&] { pool.allocate(max_u64); }), "memory pool allocation size overflow");
    // The element count is checked before the size it makes.
    EXPECT_EQ(
        error_of([&] { pool.allocate_zeroed(std::uint64_t{1} << 32, std::uint64_t{1} << 32); }),
        "memory pool element count overflow");
    EXPECT_EQ(layout(pool), before);
}

TEST(MemoryPool, CapacityOverflowIsCheckedBeforeReserving) {
    MemoryPool pool(16);
    const auto before = layout(pool);
    EXPECT_EQ(error_of([&] { pool.allocate(max_u64); }), "memory pool capacity overflow");
    EXPECT_EQ(layout(pool), before);
}

TEST(MemoryPool, PageAllocFailLeavesThePoolUnchanged) {
    MemoryPool pool(0);
    pool.allocate(3);
    const auto before = layout(pool);
    for (std::uint64_t size : {std::uint64_t{1} << 62, max_u64 - 3})
        EXPECT_EQ(error_of([&] { pool.allocate(size); }), "memory pool page allocation failed");
    EXPECT_EQ(
        error_of([&] { pool.allocate_zeroed(std::uint64_t{1} << 31, std::uint64_t{1} << 31); }),
        "memory pool page allocation failed");
    EXPECT_EQ(layout(pool), before);
    expect_place(pool.allocate(2), 2, 0, 2);
}

TEST(MemoryPool, ConstructionPageAllocFail) {
    EXPECT_EQ(error_of([] { MemoryPool pool(std::uint64_t{1} << 62); }),
              "memory pool page allocation failed");
}

// get_range and set_bytes: identity, recorded range, range overflow, then bounds.
class MemoryPoolRange : public ::testing::Test {
  protected:
    MemoryPool pool{16};
    MemoryPool other{16};
    PoolAllocation allocation = pool.allocate(8);
    PoolAllocation neighbour = pool.allocate(8);  // an overrun of `allocation` would reach it
    PoolAllocation foreign = other.allocate(8);   // the same page, offset and length

    void expect_refused(const PoolAllocation& target, std::uint64_t start, std::uint64_t length,
                        const std::string& message) {
        const auto before = layout(pool);
        EXPECT_EQ(error_of([&] { pool.get_range(target, start, length); }), message);
        EXPECT_EQ(error_of([&] { pool.set_bytes(target, start, Bytes(length, 0xAB)); }), message);
        EXPECT_EQ(layout(pool), before);
        EXPECT_EQ(read(pool, allocation), Bytes(8, 0));
        EXPECT_EQ(read(pool, neighbour), Bytes(8, 0));
    }
};

TEST_F(MemoryPoolRange, AnotherPoolsAllocationIsRefusedFirst) {
    EXPECT_FALSE(pool.owns(foreign));
    EXPECT_FALSE(pool.get(foreign).has_value());
    expect_refused(foreign, max_u64, 2, "allocation belongs to another memory pool");
    expect_refused(PoolAllocation{}, 0, 0, "allocation belongs to another memory pool");
    EXPECT_EQ(read(other, foreign), Bytes(8, 0));
}

TEST_F(MemoryPoolRange, AllocationOutsideItsPageIsRefusedAsForeign) {
    // A page that does not exist, an end past the used bytes, an end that overflows.
    const std::uint64_t page_offset_length[][3] = {{1, 0, 8}, {0, 0, 17}, {0, 2, max_u64}};
    for (const auto& [page, offset, length] : page_offset_length) {
        const PoolAllocation forged{allocation.token, page, offset, length};
        EXPECT_FALSE(pool.get(forged).has_value());
        expect_refused(forged, 0, 1, "allocation belongs to another memory pool");
    }
}

TEST_F(MemoryPoolRange, RangeOverflowIsCheckedBeforeBounds) {
    expect_refused(allocation, max_u64, 2, "memory pool range overflow");
}

TEST_F(MemoryPoolRange, RangeBeyondTheAllocationIsRefused) {
    expect_refused(allocation, 4, 5, "memory pool range out of bounds");
    expect_refused(allocation, 6, 3, "memory pool range out of bounds");
    expect_refused(allocation, 9, 0, "memory pool range out of bounds");
    EXPECT_TRUE(pool.get_range(allocation, 8, 0).empty());
    pool.set_bytes(allocation, 6, Bytes{5, 6});
    const auto last = pool.get_range(allocation, 6, 2);
    EXPECT_EQ(Bytes(last.begin(), last.end()), (Bytes{5, 6}));
    EXPECT_EQ(read(pool, neighbour), Bytes(8, 0));
}

}  // namespace
}  // namespace tarvek
