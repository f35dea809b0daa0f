"""The most one value may take, read the way the module reads it: the machine's memory plus swap,
the memory limit of the process's control group (v1 or v2, the lowest from its own group up to
the root of the hierarchy), and 2**48 bytes, whichever is lowest. Tests that need a large value
size it from this, so that the suite fits inside a container of modest size.

`under_ceiling` runs a command whose machine reads as a given size, so that the ceiling tests
can refuse copies the kernel itself would make on a host without a container limit; there
`peak_growth` shows a value that was made before it was refused."""

import os
import re
import shutil
import subprocess
import tempfile

import pytest

MAX_ALLOCATION = 2**48
_SPACE = " \t\n\v\f\r"


def read_number(text):
    """The number at the front of `text`, as `>>` into an unsigned 64-bit integer reads it: white
    space skipped, an optional sign (a minus wraps around), decimal digits up to the next other
    character. None when no digit follows or the digits overflow."""
    text = text.lstrip(_SPACE)
    negative = text[:1] == "-"
    if text[:1] in ("+", "-"):
        text = text[1:]
    digits = len(text) - len(text.lstrip("0123456789"))
    if digits == 0 or int(text[:digits]) >= 2**64:
        return None
    value = int(text[:digits])
    return (2**64 - value) % 2**64 if negative else value


def _next_word(text):
    """The next word of `text` and what follows it: white space skipped, then up to the next."""
    text = text.lstrip(_SPACE)
    end = next((i for i, c in enumerate(text) if c in _SPACE), len(text))
    return text[:end], text[end:]


def machine_bytes(meminfo=None):
    """MemTotal plus SwapTotal, from `meminfo` text or /proc/meminfo; None without MemTotal."""
    if meminfo is None:
        with open("/proc/meminfo", encoding="latin-1") as file:
            meminfo = file.read()
    sizes = {}
    for line in meminfo.split("\n"):
        key, rest = _next_word(line)
        kibibytes = read_number(rest)
        if key and kibibytes is not None:
            sizes[key] = kibibytes
    if "MemTotal:" not in sizes:
        return None
    total = 1024 * (sizes["MemTotal:"] + sizes.get("SwapTotal:", 0))
    return total if total < 2**64 else None


def _limit(path):
    """A limit file's byte count; None for "max" or a file that cannot be read."""
    try:
        with open(path, "rb") as file:
            return read_number(file.read(4096).decode("latin-1"))
    except OSError:
        return None


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


def status_bytes(key):
    """A size from /proc/self/status (VmHWM, VmData, ...), in bytes."""
    with open("/proc/self/status") as status:
        return 1024 * int(re.search(key + r":\s+(\d+)", status.read()).group(1))


def peak_growth(call):
    """How far the resident peak rose above the resident size while `call` ran, in bytes. Build
    the arguments first: what they take is already resident and does not count."""
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # restart the peak from the current resident size
    before = status_bytes("VmHWM")
    call()
    return status_bytes("VmHWM") - before


def _private_mounts_refused():
    """Why no private mount namespace can be made here; None where one can."""
    unshare = shutil.which("unshare")
    if unshare is None:
        return "no unshare on PATH"
    if not os.path.exists("/proc/meminfo"):
        return "no /proc/meminfo to cover"
    probe = subprocess.run([unshare, "-m", "--propagation", "private", "true"],
                           capture_output=True, text=True)
    if probe.returncode != 0:
        return f"unshare -m refused: {probe.stderr.strip() or probe.returncode}"
    return None


def under_ceiling(ceiling, command):
    """Runs `command` (an argument list) in a private mount namespace whose /proc/meminfo shows
    `ceiling` bytes (a multiple of 1024, written as "+N kB") and no swap, and returns the
    finished process. Needs the right to make one (root); where that is refused, skips the
    calling test, or fails it where CI is set: there a skip would hide a missing measure."""
    refused = _private_mounts_refused()
    if refused is not None:
        reason = f"needs a private mount namespace (unshare -m, as root): {refused}"
        if os.environ.get("CI"):
            pytest.fail(f"{reason}; CI is set, where the lowered ceiling must run", pytrace=False)
        pytest.skip(reason)
    with tempfile.NamedTemporaryFile("w", suffix=".meminfo") as meminfo:
        meminfo.write(f"MemTotal:\t+{ceiling // 1024} kB\nSwapTotal: 0 kB\n")
        meminfo.flush()
        # The wrapping tools run without any preloaded runtime; the command gets it back.
        environment = dict(os.environ)
        preload = environment.pop("LD_PRELOAD", None)
        if preload is not None:
            command = ["env", f"LD_PRELOAD={preload}", *command]
        script = 'mount --bind "$0" /proc/meminfo && exec "$@"'
        return subprocess.run(
            ["unshare", "-m", "--propagation", "private", "sh", "-c", script, meminfo.name,
             *command], capture_output=True, text=True, env=environment)
