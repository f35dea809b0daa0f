#pragma once
// A small reader for the JSON test data files (strings without escapes). Numbers keep their
// text, so integers up to 2^64-1 read exactly.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarvek::testing {

struct Json {
    std::string text;  // a string's characters, a number's digits, or a literal
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* find(std::string_view key) const {
        for (const auto& [name, value] : members) {
            if (name == key) return &value;
        }
        return nullptr;
    }
    const Json& operator[](std::string_view key) const {
        if (const Json* value = find(key)) return *value;
        throw std::runtime_error("missing key " + std::string(key));
    }
    double number() const { return std::strtod(text.c_str(), nullptr); }
    std::uint64_t unsigned_integer() const { return std::strtoull(text.c_str(), nullptr, 10); }
    std::int64_t integer() const { return std::strtoll(text.c_str(), nullptr, 10); }
};

// Parses the value at the front of `in` and consumes it.
inline Json parse_json(std::string_view& in) {
    const auto skip = [&](std::size_t count) {
        in.remove_prefix(count);
        while (!in.empty() && std::isspace(static_cast<unsigned char>(in.front()))) {
            in.remove_prefix(1);
        }
        if (in.empty()) throw std::runtime_error("truncated JSON");
    };
    const auto take_until = [&](std::size_t end) {
        if (end == std::string_view::npos) throw std::runtime_error("truncated JSON");
        std::string text(in.substr(0, end));
        in.remove_prefix(end);
        return text;
    };
    skip(0);
    Json value;
    const char open = in.front();
    if (open == '{' || open == '[') {
        for (skip(1); in.front() != (open == '{' ? '}' : ']');) {
            if (open == '[') {
                value.items.push_back(parse_json(in));
            } else {
                std::string key = parse_json(in).text;
                skip(0);
                skip(1);  // the colon
                value.members.emplace_back(std::move(key), parse_json(in));
            }
            skip(0);
            if (in.front() == ',') skip(1);
        }
        in.remove_prefix(1);
    } else if (open == '"') {
        in.remove_prefix(1);
        value.text = take_until(in.find('"'));
        in.remove_prefix(1);
    } else {
        value.text = take_until(in.find_first_of(",:]} \t\r\n"));
    }
    return value;
}

inline Json load_json(const std::string& path) {
    std::stringstream content;
    content << std::ifstream(path).rdbuf();
    const std::string text = content.str();
    std::string_view in = text;
    return parse_json(in);
}

}  // namespace tarvek::testing
