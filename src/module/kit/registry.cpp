#include "module/kit/registry.hpp"

#include <map>

namespace tarvek::py {

namespace {

struct Entries {
    std::map<std::string, TypeFactory> classes;
    std::map<std::string, PyMethodDef*> functions;
    std::string fault;
};

Entries& entries() {
    static Entries table;
    return table;
}

}  // namespace

void register_class_entry(std::string name, TypeFactory factory) {
    entries().classes.emplace(std::move(name), factory);
}

void register_function_entry(std::string name, PyMethodDef* definition) {
    entries().functions.emplace(std::move(name), definition);
}

TypeFactory find_class_entry(const std::string& name) {
    auto found = entries().classes.find(name);
    return found == entries().classes.end() ? nullptr : found->second;
}

PyMethodDef* find_function_entry(const std::string& name) {
    auto found = entries().functions.find(name);
    return found == entries().functions.end() ? nullptr : found->second;
}

std::vector<std::string> registered_names() {
    std::vector<std::string> names;
    for (const auto& [name, factory] : entries().classes) names.push_back(name);
    for (const auto& [name, definition] : entries().functions) names.push_back(name);
    return names;
}

void record_registration_fault(const char* message) noexcept {
    try {
        if (entries().fault.empty()) entries().fault = message;
    } catch (...) {
    }
}

const std::string& registration_fault() {
    return entries().fault;
}

}  // namespace tarvek::py
