import re

import pytest

from tarvek_rs import MemoryPool, PoolAllocation, PoolPages, PoolPageUsage

MAX_U64 = 2**64 - 1


def raises_value(message):
    return pytest.raises(ValueError, match="^" + re.escape(message) + "$")


def consumed():
    return pytest.raises(RuntimeError, match="^owner has been consumed$")


def usage(page):
    return (page.used_bytes, page.capacity)


def all_pages(pool):
    walk = pool.pages()
    result = []
    while (page := walk.next_value()) is not None:
        result.append(usage(page))
    return result


def test_constructor_signature_and_sizes():
    assert MemoryPool.__text_signature__ == "(page_size)"
    with pytest.raises(OverflowError):
        MemoryPool(-1)
    with pytest.raises(OverflowError):
        MemoryPool(2**64)
    # Refused by the size check before anything is reserved.
    with raises_value("memory pool page allocation failed"):
        MemoryPool(2**62)


def test_pages_grow_only_at_the_end():
    pool = MemoryPool(16)
    a, b, c = pool.allocate(10), pool.allocate(10), pool.allocate(100)
    assert (pool.page_size, pool.page_count, pool.total_capacity, pool.allocated_bytes) == (
        16, 3, 132, 120)
    assert all_pages(pool) == [(10, 16), (10, 16), (100, 100)]
    assert usage(pool.page(0)) == (10, 16) and usage(pool.page(2)) == (100, 100)
    assert pool.page(3) is None and pool.page(MAX_U64) is None
    # Each allocation starts its own page: writing one leaves the others' zeros alone.
    for allocation, fill in ((a, 1), (b, 2), (c, 3)):
        pool.set_bytes(allocation, 0, bytes([fill]) * allocation.length)
    assert (pool.get(a), pool.get(b), pool.get(c)) == (b"\x01" * 10, b"\x02" * 10, b"\x03" * 100)


def test_page_size_zero():
    pool = MemoryPool(0)
    assert (pool.page_count, pool.total_capacity) == (1, 0)
    empty = pool.allocate(0)
    assert (pool.page_count, empty.length, empty.is_empty()) == (1, 0, True)
    assert pool.get(empty) == b""  # empty bytes, not None
    five = pool.allocate(5)
    assert all_pages(pool) == [(0, 0), (5, 5)]
    assert (five.is_empty(), pool.get(five)) == (False, b"\x00" * 5)


def test_neighbours_in_one_page_keep_their_bytes():
    pool = MemoryPool(64)
    first, second, third = pool.allocate(8), pool.allocate(4), pool.allocate(8)
    assert pool.page_count == 1
    assert pool.get(first) == bytes(8)
    pool.set_bytes(second, 2, b"\x07\x08")
    assert pool.get(second) == b"\x00\x00\x07\x08"
    pool.set_bytes(third, 6, [1, 2])  # the last two bytes, from a list of ints
    assert pool.get_range(third, 0, 8) == bytes(6) + b"\x01\x02"
    assert pool.get_range(third, 6, 2) == b"\x01\x02"
    assert pool.get(first) == bytes(8)
    pool.set_bytes(first, 0, bytearray(b"\xff" * 8))
    assert pool.get(second) == b"\x00\x00\x07\x08"
    snapshot = pool.get(first)
    pool.set_bytes(first, 0, bytes(8))
    assert snapshot == b"\xff" * 8  # reads are copies


@pytest.mark.parametrize(
    "length, offset, count, message",
    [
        (4, 3, 2, "memory pool range out of bounds"),
        (4, MAX_U64, 2, "memory pool range overflow"),
        (8, 4, 5, "memory pool range out of bounds"),
        (8, MAX_U64, 2, "memory pool range overflow"),
        (8, 6, 3, "memory pool range out of bounds"),
    ],
)
def test_ranges_outside_the_allocation(length, offset, count, message):
    pool = MemoryPool(16)
    allocation = pool.allocate(length)
    with raises_value(message):
        pool.get_range(allocation, offset, count)
    with raises_value(message):
        pool.set_bytes(allocation, offset, b"\x09" * count)
    assert pool.get(allocation) == bytes(length)  # nothing written
    # A zero-length range at the very end is allowed.
    assert pool.get_range(allocation, length, 0) == b""
    assert pool.set_bytes(allocation, length, b"") is None


def test_allocations_of_another_pool():
    pool, other = MemoryPool(16), MemoryPool(16)
    allocation = pool.allocate(4)
    other.allocate(4)  # the same page, offset and length in the other pool
    pool.set_bytes(allocation, 2, b"\x07\x08")
    assert other.get(allocation) is None
    # Identity is checked before the range.
    for offset, count in ((0, 1), (MAX_U64, 2), (3, 2)):
        with raises_value("allocation belongs to another memory pool"):
            other.get_range(allocation, offset, count)
        with raises_value("allocation belongs to another memory pool"):
            other.set_bytes(allocation, offset, b"\x01" * count)
    clone = allocation.cloned()
    assert isinstance(clone, PoolAllocation) and clone.length == 4
    assert pool.get(clone) == pool.get(allocation) == b"\x00\x00\x07\x08"
    assert other.get(clone) is None
    pool.set_bytes(clone, 0, b"\x05")
    assert pool.get(allocation) == b"\x05\x00\x07\x08"
    allocation.free()
    assert pool.get(clone) == b"\x05\x00\x07\x08"  # the clone is a handle of its own
    with consumed():
        pool.get(allocation)


def test_allocation_failures_leave_the_pool_unchanged():
    pool = MemoryPool(16)
    pool.allocate(10)
    before = (pool.page_count, pool.total_capacity, pool.allocated_bytes, all_pages(pool))
    cases = [
        (lambda: pool.allocate_zeroed(2**32, 2**32), "memory pool element count overflow"),
        (lambda: pool.allocate(MAX_U64), "memory pool allocation size overflow"),
        (lambda: pool.allocate_zeroed(MAX_U64, 1), "memory pool allocation size overflow"),
        (lambda: pool.allocate(2**62), "memory pool page allocation failed"),
    ]
    for call, message in cases:
        with raises_value(message):
            call()
        assert (pool.page_count, pool.total_capacity, pool.allocated_bytes,
                all_pages(pool)) == before
    fresh = MemoryPool(16)
    with raises_value("memory pool capacity overflow"):
        fresh.allocate(MAX_U64)
    assert (fresh.page_count, fresh.total_capacity, fresh.allocated_bytes) == (1, 16, 0)
    zeroed = pool.allocate_zeroed(3, 2)
    assert (zeroed.length, pool.get(zeroed), pool.allocated_bytes) == (6, bytes(6), 16)


def test_page_walk_from_both_ends():
    pool = MemoryPool(4)
    for size in (1, 5, 9):
        pool.allocate(size)
    walk = pool.pages()
    pool.allocate(20)  # later pages are not in an earlier snapshot
    assert isinstance(walk, PoolPages) and not hasattr(walk, "__next__")
    copy = walk.cloned()
    lengths = [walk.length]
    taken = []
    for take in (walk.next_value, walk.next_back_value, walk.next_value):
        page = take()
        assert isinstance(page, PoolPageUsage)
        taken.append(usage(page))
        lengths.append(walk.length)
    assert taken == [(1, 4), (9, 9), (5, 5)]
    assert lengths == [3, 2, 1, 0]
    assert walk.next_value() is None and walk.next_back_value() is None
    assert walk.is_empty() and not walk.is_closed
    # The copy is independent and holds only the snapshots not yet taken.
    assert usage(copy.next_value()) == (1, 4)
    rest = copy.cloned()
    assert (copy.length, rest.length, usage(rest.next_back_value())) == (2, 2, (9, 9))
    assert copy.length == 2


def test_page_usage_is_a_snapshot():
    pool = MemoryPool(16)
    pool.allocate(3)
    page = pool.page(0)
    page.used_bytes = 12
    page.capacity = MAX_U64
    assert usage(page) == (12, MAX_U64)
    pool.allocate(2)
    assert usage(pool.page(0)) == (5, 16) and usage(page) == (12, MAX_U64)
    with pytest.raises(OverflowError):
        page.used_bytes = -1
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        del page.capacity
    page.free()
    with pytest.raises(OverflowError):  # the value converts before the closed check
        page.capacity = 2**64
    with consumed():
        page.capacity = 1
    with consumed():
        page.used_bytes  # noqa: B018


def test_closed_pool_and_closed_handles():
    pool = MemoryPool(16)
    allocation = pool.allocate(4)
    walk = pool.pages()
    assert pool.free() is None and pool.is_closed
    assert pool.close() is None  # closing twice does nothing
    assert allocation.length == 4 and not allocation.is_closed
    assert allocation.cloned().length == 4
    for member in (lambda: pool.allocate(1), lambda: pool.allocate_zeroed(1, 1),
                   lambda: pool.get(allocation), lambda: pool.get_range(allocation, 0, 0),
                   lambda: pool.set_bytes(allocation, 0, b""), lambda: pool.page(0),
                   pool.pages, lambda: pool.page_size, lambda: pool.page_count,
                   lambda: pool.total_capacity, lambda: pool.allocated_bytes):
        with consumed():
            member()
    assert walk.length == 1  # snapshots outlive the pool
    allocation.close()
    for member in (lambda: allocation.length, allocation.is_empty, allocation.cloned):
        with consumed():
            member()
    walk.free()
    for member in (walk.next_value, walk.next_back_value, walk.is_empty, walk.cloned):
        with consumed():
            member()


def test_check_order():
    pool, other = MemoryPool(16), MemoryPool(16)
    allocation = pool.allocate(4)
    closed_allocation = pool.allocate(4)
    closed_allocation.free()
    # Argument conversion comes before any closed check, in parameter order.
    with pytest.raises(TypeError, match="argument 'allocation'"):
        pool.get(pool)
    with pytest.raises(TypeError, match="argument 'number'"):
        pool.allocate_zeroed("1", -1)
    with pytest.raises(OverflowError):
        pool.allocate_zeroed(-1, "1")
    with pytest.raises(TypeError, match="argument 'offset'"):
        pool.get_range(closed_allocation, "0", -1)
    with pytest.raises(TypeError, match="argument 'values'.*Can't extract `str` to `Vec`"):
        pool.set_bytes(allocation, 0, "ab")
    with pytest.raises(OverflowError):
        pool.set_bytes(allocation, 0, [1, 256])
    with pytest.raises(OverflowError):
        pool.set_bytes(closed_allocation, 0, [-1])
    # A closed allocation is refused before the identity check.
    with consumed():
        other.get(closed_allocation)
    with consumed():
        other.set_bytes(closed_allocation, MAX_U64, b"\x00\x00")
    other.free()
    with pytest.raises(OverflowError):
        other.allocate(-1)
    with pytest.raises(TypeError, match="argument 'index'"):
        other.page(None)
    with consumed():
        other.get(allocation)
    assert pool.get(allocation) == bytes(4)  # nothing written by the refused calls
