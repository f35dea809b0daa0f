"""The most one value may take, read the way the module reads it: the machine's memory plus swap,
the memory limit of the process's control group (v1 or v2, the lowest from its own group up to
the root of the hierarchy), and 2**48 bytes, whichever is lowest. Tests that need a large value
size it from this, so that the suite fits inside a container of modest size."""

import re

MAX_ALLOCATION = 2**48


def machine_bytes():
    with open("/proc/meminfo") as meminfo:
        sizes = dict(re.findall(r"^(MemTotal|SwapTotal):\s+(\d+) kB", meminfo.read(), re.M))
    return 1024 * (int(sizes["MemTotal"]) + int(sizes.get("SwapTotal", 0)))


def _limit(path):
    """A limit file's byte count; None for "max" or a file that cannot be read."""
    try:
        with open(path) as file:
            match = re.match(r"\s*(\d+)", file.read(4096))
    except OSError:
        return None
    return int(match.group(1)) if match else None


def _hierarchy_limit(root, mount_point, path, name):
    if root == "/":
        relative = path
    elif path == root or path.startswith(root + "/"):
        relative = path[len(root):]
    else:
        relative = ""
    directory = mount_point + relative.rstrip("/")
    limits = []
    while True:  # a parent's limit binds its children too
        limits.append(_limit(f"{directory}/{name}"))
        if len(directory) <= len(mount_point) or "/" not in directory:
            break
        directory = directory[:directory.rfind("/")]
    return min((limit for limit in limits if limit is not None), default=None)


def cgroup_limit():
    unified = memory = None
    with open("/proc/self/cgroup") as cgroups:
        for line in cgroups:
            fields = line.rstrip("\n").split(":", 2)
            if len(fields) < 3:
                continue
            if fields[0] == "0" and fields[1] == "":
                unified = fields[2]
            if "memory" in fields[1].split(","):
                memory = fields[2]
    limits = []
    with open("/proc/self/mountinfo") as mounts:
        for line in mounts:
            before, separator, after = line.rstrip("\n").partition(" - ")
            before, after = before.split(), after.split()
            if not separator or len(before) < 5 or len(after) < 3:
                continue
            root, mount_point, kind, options = before[3], before[4], after[0], after[2]
            if kind == "cgroup2" and unified is not None:
                limits.append(_hierarchy_limit(root, mount_point, unified, "memory.max"))
            elif kind == "cgroup" and memory is not None and "memory" in options.split(","):
                limits.append(
                    _hierarchy_limit(root, mount_point, memory, "memory.limit_in_bytes"))
    return min((limit for limit in limits if limit is not None), default=None)


def allocation_ceiling():
    return min(limit for limit in (MAX_ALLOCATION, machine_bytes(), cgroup_limit())
               if limit is not None)
