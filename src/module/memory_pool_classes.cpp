// The paged byte arena from Python: the pool, the handles of its allocations, snapshots of
// one page's fill, and a double-ended walk over snapshots of every page.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/numerics/memory_pool.hpp"
#include "module/kit/registry.hpp"

namespace tarvek::py {
namespace {

// A new bytes object holding a copy of `bytes`.
Object bytes_object(std::span<const std::uint8_t> bytes) {
    return Object{Ref::steal(made_for_python([&] {
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    }))};
}

// ---- PoolPageUsage: a copy of one page's fill ------------------------------------------

struct PoolPageUsageClass {
    using Value = PoolPageUsage;
    static std::string name() { return "PoolPageUsage"; }

    static void define(ClassBuilder<PoolPageUsageClass>& c) {
        // The setters change this copy only, never the pool.
        define_field<&Value::capacity>(c, "capacity");
        define_field<&Value::used_bytes>(c, "used_bytes");
    }
};

// ---- PoolPages: page snapshots taken from either end -----------------------------------

struct PageSnapshots {
    std::vector<PoolPageUsage> pages;
    std::size_t front = 0;
    std::size_t back = 0;  // one past the last snapshot not yet taken
};

struct PoolPagesClass {
    using Value = PageSnapshots;
    static std::string name() { return "PoolPages"; }

    static void define(ClassBuilder<PoolPagesClass>& c) {
        c.method("next_value()", [](Value& walk) -> std::optional<Object> {
            if (walk.front == walk.back) return std::nullopt;
            return make_object<PoolPageUsageClass>(walk.pages[walk.front++]);
        });
        c.method("next_back_value()", [](Value& walk) -> std::optional<Object> {
            if (walk.front == walk.back) return std::nullopt;
            return make_object<PoolPageUsageClass>(walk.pages[--walk.back]);
        });
        c.property("length", [](const Value& walk) { return walk.back - walk.front; });
        c.method("is_empty()", [](const Value& walk) { return walk.front == walk.back; });
        c.method("cloned()", [](const Value& walk) {
            std::vector<PoolPageUsage> left(walk.pages.begin() + walk.front,
                                            walk.pages.begin() + walk.back);
            const std::size_t count = left.size();
            return make_object<PoolPagesClass>(PageSnapshots{std::move(left), 0, count});
        });
    }
};

// ---- PoolAllocation: one handle on a region; closing it drops its token reference -------

struct PoolAllocationClass {
    using Value = PoolAllocation;
    static std::string name() { return "PoolAllocation"; }

    static void define(ClassBuilder<PoolAllocationClass>& c) {
        c.property("length", [](const Value& allocation) { return allocation.length; });
        c.method("is_empty()", [](const Value& allocation) { return allocation.length == 0; });
        c.cloned();  // shares the token: the clone belongs to the same pool
    }
};

// ---- MemoryPool ------------------------------------------------------------------------

// The pool is its own identity and never moves, so the object holds it behind a pointer.
// Const access to the handle gives const access to the pool.
class PoolHandle {
  public:
    explicit PoolHandle(std::uint64_t page_size) : pool_(std::make_unique<MemoryPool>(page_size)) {}
    const MemoryPool* operator->() const { return pool_.get(); }
    MemoryPool* operator->() { return pool_.get(); }

  private:
    std::unique_ptr<MemoryPool> pool_;
};

struct MemoryPoolClass {
    using Value = PoolHandle;
    using Allocation = Shared<PoolAllocationClass>;
    static std::string name() { return "MemoryPool"; }

    static void define(ClassBuilder<MemoryPoolClass>& c) {
        c.constructor("(page_size)", [](std::uint64_t page_size) { return Value(page_size); });
        c.method("allocate(size)", [](Value& pool, std::uint64_t size) {
            return make_object<PoolAllocationClass>(pool->allocate(size));
        });
        c.method("allocate_zeroed(number, size)",
                 [](Value& pool, std::uint64_t number, std::uint64_t size) {
                     return make_object<PoolAllocationClass>(pool->allocate_zeroed(number, size));
                 });
        c.method("get(allocation)",
                 [](const Value& pool, const Allocation& allocation) -> std::optional<Object> {
                     const auto bytes = pool->get(*allocation);
                     if (!bytes) return std::nullopt;
                     return bytes_object(*bytes);
                 });
        c.method("get_range(allocation, offset, length)",
                 [](const Value& pool, const Allocation& allocation, std::uint64_t offset,
                    std::uint64_t length) {
                     return bytes_object(pool->get_range(*allocation, offset, length));
                 });
        c.method(
            "set_bytes(allocation, offset, values)",
            [](Value& pool, const Allocation& allocation, std::uint64_t offset,
               const ByteString& values) { pool->set_bytes(*allocation, offset, values.bytes); });
        c.method("page(index)",
                 [](const Value& pool, std::uint64_t index) -> std::optional<Object> {
                     const auto usage = pool->page(index);
                     if (!usage) return std::nullopt;
                     return make_object<PoolPageUsageClass>(*usage);
                 });
        c.method("pages()", [](const Value& pool) {
            std::vector<PoolPageUsage> pages = pool->pages();
            const std::size_t count = pages.size();
            return make_object<PoolPagesClass>(PageSnapshots{std::move(pages), 0, count});
        });
        c.property("page_size", [](const Value& pool) { return pool->page_size(); });
        c.property("page_count", [](const Value& pool) { return pool->page_count(); });
        c.property("total_capacity", [](const Value& pool) { return pool->total_capacity(); });
        c.property("allocated_bytes", [](const Value& pool) { return pool->allocated_bytes(); });
    }
};

const Registration registration{[] {
    register_class<PoolPageUsageClass>();
    register_class<PoolPagesClass>();
    register_class<PoolAllocationClass>();
    register_class<MemoryPoolClass>();
}};

}  // namespace
}  // namespace tarvek::py
