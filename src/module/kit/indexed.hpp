#pragma once
// Index readers and writers shared by the classes that hold lists of parts: readers answer
// None past the end, writers refuse an index out of range with the class's own message and
// store a finished copy, so a failed copy leaves the list as it was. Builders hold slot lists,
// whose readers also answer None for an empty slot.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "core/numerics/error.hpp"
#include "module/kit/class_builder.hpp"

namespace tarvek::py {

// A new object of `ElementClass` holding a copy of element `index` of a list; None past the end.
template <class ElementClass, class Items>
std::optional<Object> object_at(const Items& items, std::uint64_t index) {
    if (index >= items.size()) return std::nullopt;
    return make_object<ElementClass>(items[index]);
}

// `target` becomes a copy of `value`. The copy is finished before `target` changes, so a
// failed copy leaves it as it was.
template <class T>
void assign_copy(T& target, const T& value) {
    T copy = value;
    target = std::move(copy);
}

// Element `index` becomes a copy of `value`.
template <class T>
void replace_at(std::vector<T>& items, std::uint64_t index, const T& value,
                const ModelError& out_of_range) {
    if (index >= items.size()) throw out_of_range;
    assign_copy(items[index], value);
}

// Element `index` of `items`, a list inside `whole`, becomes a copy of `value` if `whole` then
// validates; otherwise the old element is put back and the error goes on. Only the new element
// can fail, so this tries it in place instead of copying the whole value.
template <class Whole, class T>
void replace_validated(Whole& whole, std::vector<T>& items, std::uint64_t index, const T& value,
                       const ModelError& out_of_range) {
    if (index >= items.size()) throw out_of_range;
    T element = value;
    std::swap(items[index], element);
    try {
        whole.validate();
    } catch (...) {
        std::swap(items[index], element);
        throw;
    }
}

template <class T>
using Slots = std::vector<std::optional<T>>;

// A new object of `ElementClass` holding a copy of slot `index`; None past the end or when
// the slot is empty.
template <class ElementClass, class T>
std::optional<Object> slot_object(const Slots<T>& slots, std::uint64_t index) {
    if (index >= slots.size() || !slots[index]) return std::nullopt;
    return make_object<ElementClass>(*slots[index]);
}

template <class T>
bool slot_filled(const Slots<T>& slots, std::uint64_t index) {
    return index < slots.size() && slots[index].has_value();
}

// Slot `index` holds a copy of `value`, replacing what it held.
template <class T>
void fill_slot(Slots<T>& slots, std::uint64_t index, const T& value,
               const ModelError& out_of_range) {
    if (index >= slots.size()) throw out_of_range;
    T copy = value;
    slots[index] = std::move(copy);
}

template <class T>
void clear_slot(Slots<T>& slots, std::uint64_t index, const ModelError& out_of_range) {
    if (index >= slots.size()) throw out_of_range;
    slots[index].reset();
}

// Copies the slots that both lists have, filled or empty, from `old` into `fresh` (a resize).
template <class T>
void carry_slots(const Slots<T>& old, Slots<T>& fresh) {
    const std::size_t kept = old.size() < fresh.size() ? old.size() : fresh.size();
    for (std::size_t i = 0; i < kept; ++i) fresh[i] = old[i];
}

}  // namespace tarvek::py
