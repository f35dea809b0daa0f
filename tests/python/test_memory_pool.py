import pytest

from model_support import assert_closed, consumed, raises_value
from tarvek_rs import MemoryPool

MAX_U64 = 2**64 - 1
FOREIGN = "allocation belongs to another memory pool"


def usage(page):
    return (page.used_bytes, page.capacity)


def state(pool):
    walk, pages = pool.pages(), []
    while (page := walk.next_value()) is not None:
        pages.append(usage(page))
    return pool.page_count, pool.total_capacity, pool.allocated_bytes, pages


def test_pages_grow_only_at_the_end():
    pool = MemoryPool(16)
    a, b, c = pool.allocate(10), pool.allocate(10), pool.allocate(100)
    assert state(pool) == (3, 132, 120, [(10, 16), (10, 16), (100, 100)])
    assert usage(pool.page(2)) == (100, 100) and pool.page(3) is None and pool.page(MAX_U64) is None
    for allocation, fill in ((a, 1), (b, 2), (c, 3)):
        pool.set_bytes(allocation, 0, bytes([fill]) * allocation.length)
    assert (pool.get(a), pool.get(b), pool.get(c)) == (b"\x01" * 10, b"\x02" * 10, b"\x03" * 100)
    empty = MemoryPool(0)
    assert empty.get(empty.allocate(0)) == b"" and state(empty) == (1, 0, 0, [(0, 0)])
    assert empty.get(empty.allocate(5)) == bytes(5) and state(empty)[3] == [(0, 0), (5, 5)]


def test_neighbours_in_one_page_keep_their_bytes():
    pool = MemoryPool(64)
    first, second, third = pool.allocate(8), pool.allocate(4), pool.allocate(8)
    pool.set_bytes(second, 2, b"\x07\x08")
    pool.set_bytes(third, 6, [1, 2])  # the last two bytes, from a list of ints
    pool.set_bytes(first, 0, bytearray(b"\xff" * 8))
    assert pool.page_count == 1 and pool.get(second) == b"\x00\x00\x07\x08"
    assert pool.get_range(third, 0, 8) == bytes(6) + b"\x01\x02"
    assert pool.get_range(third, 6, 2) == b"\x01\x02" and pool.get(first) == b"\xff" * 8


@pytest.mark.parametrize("length, offset, count, message", [
    (4, 3, 2, "memory pool range out of bounds"),
    (4, MAX_U64, 2, "memory pool range overflow"),
    (8, 4, 5, "memory pool range out of bounds"),
    (8, 6, 3, "memory pool range out of bounds"),
    (8, MAX_U64, 2, "memory pool range overflow"),
])
def test_ranges_outside_the_allocation(length, offset, count, message):
    pool = MemoryPool(16)
    allocation = pool.allocate(length)
    with raises_value(message):
        pool.get_range(allocation, offset, count)
    with raises_value(message):
        pool.set_bytes(allocation, offset, b"\x09" * count)
    assert pool.get(allocation) == bytes(length)  # nothing written
    assert pool.get_range(allocation, length, 0) == b""  # an empty range at the very end
    assert pool.set_bytes(allocation, length, b"") is None


def test_allocations_of_another_pool():
    pool, other = MemoryPool(16), MemoryPool(16)
    allocation = pool.allocate(4)
    other.allocate(4)  # the same page, offset and length in the other pool
    pool.set_bytes(allocation, 2, b"\x07\x08")
    assert other.get(allocation) is None
    for offset, count in ((0, 1), (MAX_U64, 2), (3, 2)):  # identity is checked before the range
        with raises_value(FOREIGN):
            other.get_range(allocation, offset, count)
        with raises_value(FOREIGN):
            other.set_bytes(allocation, offset, b"\x01" * count)
    clone = allocation.cloned()
    pool.set_bytes(clone, 0, b"\x05")
    allocation.free()
    assert pool.get(clone) == b"\x05\x00\x07\x08" and other.get(clone) is None
    with consumed():  # a closed allocation is refused before the identity check
        other.set_bytes(allocation, MAX_U64, b"\x00\x00")


def test_failures_leave_the_pool_unchanged():
    for size in (-1, 2**64):
        with pytest.raises(OverflowError):
            MemoryPool(size)
    with raises_value("memory pool page allocation failed"):  # refused before reserving
        MemoryPool(2**62)
    pool = MemoryPool(16)
    pool.allocate(10)
    before = state(pool)
    for call, message in [
        (lambda: pool.allocate_zeroed(2**32, 2**32), "memory pool element count overflow"),
        (lambda: pool.allocate(MAX_U64), "memory pool allocation size overflow"),
        (lambda: pool.allocate_zeroed(MAX_U64, 1), "memory pool allocation size overflow"),
        (lambda: pool.allocate(2**62), "memory pool page allocation failed"),
        (lambda: MemoryPool(16).allocate(MAX_U64), "memory pool capacity overflow"),
    ]:
        with raises_value(message):
            call()
        assert state(pool) == before
    with pytest.raises(TypeError, match="argument 'values'.*Can't extract `str` to `Vec`"):
        pool.set_bytes(pool.allocate(2), 0, "ab")
    with pytest.raises(OverflowError):
        pool.set_bytes(pool.allocate(2), 0, [1, 256])
    zeroed = pool.allocate_zeroed(3, 2)
    assert (zeroed.length, pool.get(zeroed), pool.allocated_bytes) == (6, bytes(6), 20)


def test_page_walk_and_snapshots():
    pool = MemoryPool(4)
    for size in (1, 5, 9):
        pool.allocate(size)
    walk = pool.pages()
    pool.allocate(20)  # later pages are not in an earlier snapshot
    copy = walk.cloned()
    taken, lengths = [], [walk.length]
    for take in (walk.next_value, walk.next_back_value, walk.next_value):
        taken.append(usage(take()))
        lengths.append(walk.length)
    assert (taken, lengths) == ([(1, 4), (9, 9), (5, 5)], [3, 2, 1, 0])
    assert walk.next_value() is None and walk.next_back_value() is None
    assert usage(copy.next_value()) == (1, 4) and copy.length == 2
    page = pool.page(0)
    page.used_bytes = 3
    assert usage(page) == (3, 4) and usage(pool.page(0)) == (1, 4)
    with pytest.raises(OverflowError):
        page.used_bytes = -1


def test_closed_pool_and_handles():
    pool = MemoryPool(16)
    allocation = pool.allocate(4)
    walk = pool.pages()
    pool.free()
    with pytest.raises(TypeError, match="argument 'index'"):  # conversion comes first
        pool.page(None)
    assert_closed(pool, ("allocate", 1), ("allocate_zeroed", 1, 1), ("get", allocation),
                  ("get_range", allocation, 0, 0), ("set_bytes", allocation, 0, b""),
                  ("page", 0), "pages", "page_size", "page_count", "total_capacity",
                  "allocated_bytes")
    # Allocations and page snapshots outlive their pool.
    assert allocation.length == 4 and allocation.cloned().length == 4 and walk.length == 1
    allocation.close()
    assert_closed(allocation, "length", "is_empty", "cloned")
    walk.free()
    assert_closed(walk, "next_value", "next_back_value", "is_empty", "cloned")
