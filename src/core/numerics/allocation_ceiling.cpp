// What one value may take on this machine, read from /proc and the control-group files. Where
// a file is missing (another system, a restricted container) it simply sets no limit.
//
// The files are read at the first checked allocation, in the middle of whatever the process is
// doing, so they are read with plain system calls through static buffers and no heap block is
// made. A stream's buffers and strings, once freed, leave small blocks pinned between the
// caller's; the shifted layout can tip the C library into returning the top of the heap to the
// system after every call of a pass and faulting it back in on the next.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <string_view>

#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

using Bytes = std::optional<std::uint64_t>;

// The longest line read whole; the rest of a longer one is skipped. The fields read here (a
// cgroup path, a mount's root, mount point, type and options) always come well before it.
constexpr std::size_t line_capacity = 16384;

// What one reading needs. The ceiling's initializer runs once and alone, so one static set
// serves it.
struct Buffers {
    char line[line_capacity];
    char unified[line_capacity];        // the cgroup v2 path
    char memory[line_capacity];         // the cgroup v1 memory path
    char path[2 * line_capacity + 64];  // mount point, cgroup path, "/", a limit file's name
    char limit[4096];                   // the front of a limit file
};
Buffers buffers;

Bytes lower(Bytes a, Bytes b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// A file opened for reading; closed when it goes. One that cannot be opened reads as empty.
class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const char* path) noexcept : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) close(fd_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool is_open() const noexcept { return fd_ >= 0; }

    // Reads until `into` is full or the file ends; a read error ends it too. The count read.
    std::size_t read_into(std::span<char> into) noexcept {
        std::size_t count = 0;
        while (fd_ >= 0 && count < into.size()) {
            const ssize_t got = read(fd_, into.data() + count, into.size() - count);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            count += static_cast<std::size_t>(got);
        }
        return count;
    }

  private:
    int fd_;
};

// A file's lines, as std::getline gives them, through a fixed buffer: each without its '\n',
// the last also when no '\n' ends it. A line longer than the buffer gives the part that fits.
// A line stays valid until the next call.
class LineReader {
  public:
    LineReader(const char* path, std::span<char> buffer) noexcept : file_(path), buffer_(buffer) {}

    bool next(std::string_view& line) noexcept {
        for (;;) {
            const std::string_view pending(buffer_.data() + begin_, end_ - begin_);
            const std::size_t newline = pending.find('\n');
            if (newline != std::string_view::npos) {
                begin_ += newline + 1;
                if (skipping_) {
                    skipping_ = false;
                    continue;
                }
                line = pending.substr(0, newline);
                return true;
            }
            if (skipping_) begin_ = end_;
            if (ended_) {
                if (begin_ == end_) return false;
                line = pending;
                begin_ = end_;
                return true;
            }
            if (begin_ == 0 && end_ == buffer_.size()) {
                line = pending;
                begin_ = end_;
                skipping_ = true;
                return true;
            }
            refill();
        }
    }

  private:
    // Moves the unread rest to the front and reads after it.
    void refill() noexcept {
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const std::size_t got = file_.read_into(buffer_.subspan(end_));
        end_ += got;
        ended_ = got == 0;
    }

    ReadOnlyFile file_;
    std::span<char> buffer_;
    std::size_t begin_ = 0;  // the unread bytes are [begin_, end_)
    std::size_t end_ = 0;
    bool ended_ = false;     // the file has nothing more
    bool skipping_ = false;  // within a line cut at the buffer's size
};

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The next word of `text`, as `>>` into a string reads one: white space skipped, then up to the
// next white space. `text` keeps what follows; empty when no word is left.
std::string_view next_word(std::string_view& text) noexcept {
    std::size_t first = 0;
    while (first < text.size() && is_space(text[first])) ++first;
    std::size_t last = first;
    while (last < text.size() && !is_space(text[last])) ++last;
    const std::string_view word = text.substr(first, last - first);
    text.remove_prefix(last);
    return word;
}

// The number at the front of `text`, as `>>` into an unsigned integer reads one: white space
// skipped, an optional sign (a minus wraps around), decimal digits up to the next other
// character. None when no digit follows or the digits overflow.
Bytes next_number(std::string_view& text) noexcept {
    std::size_t at = 0;
    while (at < text.size() && is_space(text[at])) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    const std::size_t digits = at;
    std::uint64_t value = 0;
    bool overflow = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const auto digit = static_cast<std::uint64_t>(text[at] - '0');
        overflow = overflow || __builtin_mul_overflow(value, 10, &value) ||
                   __builtin_add_overflow(value, digit, &value);
    }
    text.remove_prefix(at);
    if (at == digits || overflow) return std::nullopt;
    return negative ? 0 - value : value;
}

// MemTotal plus SwapTotal from /proc/meminfo.
Bytes machine_memory() {
    LineReader meminfo("/proc/meminfo", buffers.line);
    Bytes total;
    std::uint64_t swap = 0;
    std::string_view line;
    while (meminfo.next(line)) {
        const std::string_view key = next_word(line);
        const Bytes kibibytes = next_number(line);
        if (key.empty() || !kibibytes) continue;
        if (key == "MemTotal:") total = *kibibytes;
        if (key == "SwapTotal:") swap = *kibibytes;
    }
    return checked_mul(checked_add(total, swap), 1024);
}

// A limit file holds a byte count, or "max" (cgroup v2) for none; its first 4 KiB are read.
Bytes read_limit(const char* path) {
    ReadOnlyFile file(path);
    if (!file.is_open()) return std::nullopt;
    std::string_view text(buffers.limit, file.read_into(buffers.limit));
    return next_number(text);
}

bool has_item(std::string_view list, std::string_view item) {
    for (std::size_t first = 0; first < list.size();) {
        const std::size_t comma = std::min(list.find(',', first), list.size());
        if (list.substr(first, comma - first) == item) return true;
        first = comma + 1;
    }
    return false;
}

// `text` copied into `buffer`, which holds a whole line.
std::string_view kept(std::string_view text, char (&buffer)[line_capacity]) {
    return {buffer, static_cast<std::size_t>(std::copy(text.begin(), text.end(), buffer) - buffer)};
}

// The lowest `file` limit from the cgroup `path` up to the root of a hierarchy whose `root`
// is mounted at `mount_point`: a parent's limit binds its children too.
Bytes hierarchy_limit(std::string_view root, std::string_view mount_point, std::string_view path,
                      std::string_view file) {
    std::string_view relative;
    if (root == "/") {
        relative = path;
    } else if (path.starts_with(root) && (path.size() == root.size() || path[root.size()] == '/')) {
        relative = path.substr(root.size());
    }
    while (!relative.empty() && relative.back() == '/') relative.remove_suffix(1);
    // The directory is the first `size` bytes of `directory`; each limit file's name is written
    // after it, over the deeper part that is no longer needed.
    char* const directory = buffers.path;
    std::size_t size = static_cast<std::size_t>(
        std::copy(relative.begin(), relative.end(),
                  std::copy(mount_point.begin(), mount_point.end(), directory)) -
        directory);
    Bytes lowest;
    for (;;) {
        directory[size] = '/';
        *std::copy(file.begin(), file.end(), directory + size + 1) = '\0';
        lowest = lower(lowest, read_limit(directory));
        const std::size_t slash = std::string_view(directory, size).rfind('/');
        if (size <= mount_point.size() || slash == std::string_view::npos) break;
        size = slash;
    }
    return lowest;
}

// The memory limit of this process's cgroup: v2 `memory.max`, v1 `memory.limit_in_bytes`.
Bytes cgroup_limit() {
    // Lines of /proc/self/cgroup are "id:controllers:path"; v2 is "0::path".
    std::optional<std::string_view> unified, memory;
    std::string_view line;
    for (LineReader cgroups("/proc/self/cgroup", buffers.line); cgroups.next(line);) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string_view::npos || second == std::string_view::npos) continue;
        const std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (line.substr(0, first) == "0" && controllers.empty()) {
            unified = kept(path, buffers.unified);
        }
        if (has_item(controllers, "memory")) memory = kept(path, buffers.memory);
    }
    if (!unified && !memory) return std::nullopt;

    // Lines of /proc/self/mountinfo: "id parent device root mount-point options... - type
    // source super-options".
    Bytes lowest;
    for (LineReader mounts("/proc/self/mountinfo", buffers.line); mounts.next(line);) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string_view::npos) continue;
        std::string_view before = line.substr(0, separator);
        std::string_view after = line.substr(separator + 3);
        std::string_view fields[8];  // id parent device root mount-point, type source options
        bool complete = true;
        for (int i = 0; i < 8; ++i) {
            fields[i] = next_word(i < 5 ? before : after);
            complete = complete && !fields[i].empty();
        }
        if (!complete) continue;
        const std::string_view root = fields[3], mount_point = fields[4];
        const std::string_view type = fields[5], options = fields[7];
        if (type == "cgroup2" && unified) {
            lowest = lower(lowest, hierarchy_limit(root, mount_point, *unified, "memory.max"));
        } else if (type == "cgroup" && memory && has_item(options, "memory")) {
            lowest =
                lower(lowest, hierarchy_limit(root, mount_point, *memory, "memory.limit_in_bytes"));
        }
    }
    return lowest;
}

}  // namespace

std::uint64_t allocation_ceiling() noexcept {
    static const std::uint64_t ceiling =
        lower(lower(max_allocation_bytes, machine_memory()), cgroup_limit()).value();
    return ceiling;
}

}  // namespace tarvek
