// What one value may take on this machine, read from /proc and the control-group files. Where
// a file is missing (another system, a restricted container) it simply sets no limit.

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "core/numerics/allocation.hpp"

namespace tarvek {

namespace {

using Bytes = std::optional<std::uint64_t>;

Bytes lower(Bytes a, Bytes b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// MemTotal plus SwapTotal from /proc/meminfo.
Bytes machine_memory() {
    std::ifstream meminfo("/proc/meminfo");
    Bytes total;
    std::uint64_t swap = 0;
    std::string line;
    while (std::getline(meminfo, line)) {
        std::istringstream fields(line);
        std::string key;
        std::uint64_t kibibytes;
        if (!(fields >> key >> kibibytes)) continue;
        if (key == "MemTotal:") total = kibibytes;
        if (key == "SwapTotal:") swap = kibibytes;
    }
    return checked_mul(checked_add(total, swap), 1024);
}

// A limit file holds a byte count, or "max" (cgroup v2) for none.
Bytes read_limit(const std::string& path) {
    std::ifstream file(path);
    std::uint64_t bytes;
    if (file >> bytes) return bytes;
    return std::nullopt;
}

bool has_item(const std::string& list, const std::string& item) {
    std::istringstream items(list);
    std::string entry;
    while (std::getline(items, entry, ',')) {
        if (entry == item) return true;
    }
    return false;
}

// The lowest `file` limit from the cgroup `path` up to the root of a hierarchy whose `root`
// is mounted at `mount_point`: a parent's limit binds its children too.
Bytes hierarchy_limit(const std::string& root, const std::string& mount_point,
                      const std::string& path, const std::string& file) {
    std::string relative;
    if (root == "/") {
        relative = path;
    } else if (path.compare(0, root.size(), root) == 0 &&
               (path.size() == root.size() || path[root.size()] == '/')) {
        relative = path.substr(root.size());
    }
    while (!relative.empty() && relative.back() == '/') relative.pop_back();
    Bytes lowest;
    for (std::string directory = mount_point + relative;;) {
        lowest = lower(lowest, read_limit(directory + "/" + file));
        const std::size_t slash = directory.rfind('/');
        if (directory.size() <= mount_point.size() || slash == std::string::npos) break;
        directory.erase(slash);
    }
    return lowest;
}

// The memory limit of this process's cgroup: v2 `memory.max`, v1 `memory.limit_in_bytes`.
Bytes cgroup_limit() {
    // Lines of /proc/self/cgroup are "id:controllers:path"; v2 is "0::path".
    std::ifstream cgroups("/proc/self/cgroup");
    std::optional<std::string> unified, memory;
    std::string line;
    while (std::getline(cgroups, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = line.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string path = line.substr(second + 1);
        if (line.compare(0, first, "0") == 0 && controllers.empty()) unified = path;
        if (has_item(controllers, "memory")) memory = path;
    }
    if (!unified && !memory) return std::nullopt;

    // Lines of /proc/self/mountinfo: "id parent device root mount-point options... - type
    // source super-options".
    std::ifstream mounts("/proc/self/mountinfo");
    Bytes lowest;
    while (std::getline(mounts, line)) {
        const std::size_t separator = line.find(" - ");
        if (separator == std::string::npos) continue;
        std::istringstream before(line.substr(0, separator));
        std::istringstream after(line.substr(separator + 3));
        std::string id, parent, device, root, mount_point, type, source, options;
        if (!(before >> id >> parent >> device >> root >> mount_point)) continue;
        if (!(after >> type >> source >> options)) continue;
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
    static const std::uint64_t ceiling = [] {
        try {
            return lower(lower(max_allocation_bytes, machine_memory()), cgroup_limit()).value();
        } catch (...) {
            return max_allocation_bytes;  // could not read: the fixed cap alone
        }
    }();
    return ceiling;
}

}  // namespace tarvek
