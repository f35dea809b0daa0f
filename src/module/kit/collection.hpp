#pragma once
// The list-like classes (parameter and data collections) share one surface: a constructor
// without arguments, `length`, `is_empty()`, `push`, `get`, `replace`, `clear()` and
// `cloned()`. Elements are deep copies and are never checked here; the methods that take a
// collection check what they use. A collection class may name its own message for `replace`
// past the end: `static constexpr const char* index_message = "...";`.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "module/kit/indexed.hpp"

namespace tarvek::py {

template <class CollectionClass>
constexpr const char* collection_index_message() {
    if constexpr (requires { CollectionClass::index_message; }) {
        return CollectionClass::index_message;
    } else {
        return "collection index out of range";
    }
}

// Defines the members of a collection class whose value is a vector of `ElementClass` values.
template <class ElementClass, class CollectionClass>
void define_collection(ClassBuilder<CollectionClass>& c) {
    using Value = typename CollectionClass::Value;
    using Element = typename ElementClass::Value;
    static_assert(std::is_same_v<Value, std::vector<Element>>);
    c.constructor("()", [] { return Value{}; });
    c.property("length", [](const Value& items) { return items.size(); });
    c.method("is_empty()", [](const Value& items) { return items.empty(); });
    c.method("push(value)",
             [](Value& items, const Shared<ElementClass>& value) { items.push_back(*value); });
    c.method("get(index)", [](const Value& items, std::uint64_t index) {
        return object_at<ElementClass>(items, index);
    });
    c.method("replace(index, value)",
             [](Value& items, std::uint64_t index, const Shared<ElementClass>& value) {
                 replace_at(items, index, *value,
                            ModelError::from_static(collection_index_message<CollectionClass>()));
             });
    c.method("clear()", [](Value& items) { items.clear(); });
    c.cloned();
}

}  // namespace tarvek::py
