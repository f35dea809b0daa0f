#include "core/numerics/memory_pool.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <tuple>
#include <vector>

#include "test_support.hpp"

namespace tarvek {
namespace {

using namespace testing;

constexpr std::uint64_t max_u64 = ~std::uint64_t{0};
using Bytes = std::vector<std::uint8_t>;
using Layout = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// Total capacity and allocated bytes, then each page's used bytes and capacity.
Layout layout(const MemoryPool& pool) {
    Layout result{{pool.total_capacity(), pool.allocated_bytes()}};
    for (const PoolPageUsage& page : pool.pages())
        result.emplace_back(page.used_bytes, page.capacity);
    return result;
}

Bytes read(const MemoryPool& pool, const PoolAllocation& allocation) {
    const auto bytes = pool.get(allocation);
    return bytes ? Bytes(bytes->begin(), bytes->end()) : Bytes{0xEE};
}

using Place = std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>;
Place place(const PoolAllocation& a) {
    return {a.page, a.offset, a.length};
}

TEST(MemoryPool, RequestsThatDoNotFitTheLastPageStartANewPage) {
    MemoryPool pool(16);
    EXPECT_EQ(place(pool.allocate(10)), Place(0, 0, 10));
    EXPECT_EQ(place(pool.allocate(10)), Place(1, 0, 10));
    EXPECT_EQ(layout(pool), (Layout{{32, 20}, {10, 16}, {10, 16}}));
    EXPECT_EQ(place(pool.allocate(40)), Place(2, 0, 40));
    EXPECT_EQ(place(pool.allocate(6)), Place(3, 0, 6));  // free tails are never reused
    EXPECT_EQ(layout(pool), (Layout{{88, 66}, {10, 16}, {10, 16}, {40, 40}, {6, 16}}));

    MemoryPool exact(0);
    EXPECT_EQ(place(exact.allocate(0)), Place(0, 0, 0));
    EXPECT_EQ(place(exact.allocate(5)), Place(1, 0, 5));
    EXPECT_EQ(place(exact.allocate(0)), Place(1, 5, 0));
    EXPECT_EQ(place(exact.allocate_zeroed(3, 4)), Place(2, 0, 12));
    EXPECT_EQ(layout(exact), (Layout{{17, 17}, {0, 0}, {5, 5}, {12, 12}}));
}

TEST(MemoryPool, BytesReadBackAsZerosAndNeverMove) {
    MemoryPool pool(8);
    const PoolAllocation first = pool.allocate(4), second = pool.allocate(4);
    EXPECT_EQ(read(pool, first), Bytes(4, 0));
    pool.set_bytes(first, 2, Bytes{7, 9});
    pool.set_bytes(second, 0, Bytes{1});
    const std::uint8_t* where = pool.get(first)->data();
    for (int i = 0; i < 100; ++i) EXPECT_EQ(read(pool, pool.allocate(5)), Bytes(5, 0));
    EXPECT_EQ(pool.get(first)->data(), where);
    EXPECT_EQ(read(pool, first), (Bytes{0, 0, 7, 9}));
    EXPECT_EQ(read(pool, second), (Bytes{1, 0, 0, 0}));
}

// Count overflow, size overflow, then capacity overflow, then the page reservation; no
// failure changes the pool.
TEST(MemoryPool, OverflowsLeaveThePoolUnchanged) {
    MemoryPool pool(16);
    pool.allocate(3);
    const auto before = layout(pool);
    EXPECT_EQ(error_of([&] { pool.allocate_zeroed(two_to(32), two_to(32)); }),
              "memory pool element count overflow");
    EXPECT_EQ(error_of([&] { pool.allocate(max_u64); }), "memory pool allocation size overflow");
    EXPECT_EQ(error_of([&] { pool.allocate(max_u64 - 3); }), "memory pool capacity overflow");
    EXPECT_EQ(layout(pool), before);
}

TEST(MemoryPool, PageAllocFailLeavesThePoolUnchanged) {
    EXPECT_EQ(error_of([] { MemoryPool pool(two_to(62)); }), "memory pool page allocation failed");
    MemoryPool pool(0);
    pool.allocate(3);
    const auto before = layout(pool);
    for (const auto& [count, size] :
         {std::pair{1ul, max_u64 - 3}, {1ul, two_to(62)}, {two_to(31), two_to(31)}}) {
        EXPECT_EQ(error_of([&] { pool.allocate_zeroed(count, size); }),
                  "memory pool page allocation failed");
        EXPECT_EQ(layout(pool), before);
    }
    EXPECT_EQ(place(pool.allocate(2)), Place(2, 0, 2));
}

// get_range and set_bytes check, in order: identity (with the recorded range), range
// overflow, then bounds; a refusal writes nothing.
TEST(MemoryPool, RangeChecksInOrder) {
    MemoryPool pool(16), other(16);
    const PoolAllocation allocation = pool.allocate(8);
    const PoolAllocation neighbour = pool.allocate(8);  // an overrun of `allocation` reaches it
    const PoolAllocation foreign = other.allocate(8);   // the same page, offset and length
    const char* another = "allocation belongs to another memory pool";
    const char* bounds = "memory pool range out of bounds";
    const struct {
        PoolAllocation target;
        std::uint64_t start, length;
        const char* expected;
    } rows[] = {{foreign, max_u64, 2, another},
                {PoolAllocation{}, 0, 0, another},
                {{allocation.token, 1, 0, 8}, 0, 1, another},        // no such page
                {{allocation.token, 0, 0, 17}, 0, 1, another},       // past the used bytes
                {{allocation.token, 0, 2, max_u64}, 0, 1, another},  // end overflows
                {allocation, max_u64, 2, "memory pool range overflow"},
                {allocation, 4, 5, bounds},
                {allocation, 6, 3, bounds},
                {allocation, 9, 0, bounds}};
    for (const auto& row : rows) {
        EXPECT_EQ(error_of([&] { pool.get_range(row.target, row.start, row.length); }),
                  row.expected);
        EXPECT_EQ(error_of([&] { pool.set_bytes(row.target, row.start, Bytes(row.length, 0xAB)); }),
                  row.expected);
        if (row.expected == another) {
            EXPECT_FALSE(pool.get(row.target).has_value());
        }
    }
    EXPECT_EQ(read(pool, allocation), Bytes(8, 0));
    EXPECT_EQ(read(pool, neighbour), Bytes(8, 0));
    EXPECT_EQ(read(other, foreign), Bytes(8, 0));
    EXPECT_TRUE(pool.get_range(allocation, 8, 0).empty());
    pool.set_bytes(allocation, 6, Bytes{5, 6});
    const auto last = pool.get_range(allocation, 6, 2);
    EXPECT_EQ(Bytes(last.begin(), last.end()), (Bytes{5, 6}));
    EXPECT_EQ(read(pool, neighbour), Bytes(8, 0));
}

}  // namespace
}  // namespace tarvek
