#pragma once
// A small JSON reader for the test data files: objects, arrays, strings without escapes
// other than \" and \\, numbers, true, false and null. Numbers keep their text, so integers
// up to 2^64-1 read exactly.

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
    enum class Kind { null, boolean, number, string, array, object } kind = Kind::null;
    bool flag = false;
    std::string text;  // a string's characters or a number's digits
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

class JsonParser {
  public:
    explicit JsonParser(std::string_view input) : input_(input) {}

    Json parse() {
        Json value = parse_value();
        skip_space();
        if (at_ != input_.size()) fail();
        return value;
    }

  private:
    [[noreturn]] void fail() const {
        throw std::runtime_error("malformed JSON at offset " + std::to_string(at_));
    }
    void skip_space() {
        while (at_ < input_.size() && std::isspace(static_cast<unsigned char>(input_[at_]))) ++at_;
    }
    bool take(char c) {
        skip_space();
        if (at_ < input_.size() && input_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail();
    }
    bool take_word(std::string_view word) {
        if (input_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        return true;
    }
    std::string parse_string() {
        expect('"');
        std::string out;
        while (at_ < input_.size() && input_[at_] != '"') {
            if (input_[at_] == '\\') ++at_;
            if (at_ < input_.size()) out += input_[at_++];
        }
        expect('"');
        return out;
    }
    Json parse_value() {
        skip_space();
        if (at_ >= input_.size()) fail();
        Json value;
        const char c = input_[at_];
        if (c == '{') {
            value.kind = Json::Kind::object;
            ++at_;
            if (take('}')) return value;
            do {
                skip_space();
                std::string key = parse_string();
                expect(':');
                value.members.emplace_back(std::move(key), parse_value());
            } while (take(','));
            expect('}');
        } else if (c == '[') {
            value.kind = Json::Kind::array;
            ++at_;
            if (take(']')) return value;
            do value.items.push_back(parse_value());
            while (take(','));
            expect(']');
        } else if (c == '"') {
            value.kind = Json::Kind::string;
            value.text = parse_string();
        } else if (take_word("true") || take_word("false")) {
            value.kind = Json::Kind::boolean;
            value.flag = c == 't';
        } else if (take_word("null")) {
            value.kind = Json::Kind::null;
        } else {
            value.kind = Json::Kind::number;
            const std::size_t start = at_;
            while (at_ < input_.size() && std::string_view("+-.eE0123456789").find(input_[at_]) !=
                                              std::string_view::npos) {
                ++at_;
            }
            if (at_ == start) fail();
            value.text = std::string(input_.substr(start, at_ - start));
        }
        return value;
    }

    std::string_view input_;
    std::size_t at_ = 0;
};

inline Json load_json(const std::string& path) {
    std::ifstream file(path);
    if (!file) throw std::runtime_error("cannot open " + path);
    std::stringstream content;
    content << file.rdbuf();
    return JsonParser(content.str()).parse();
}

}  // namespace tarvek::testing
