"""Reading the last reader out of manifests of 1 to 10,000 readers, and the
module's YAML parse alone (the fast path's events, text in memory), against
(a) libyaml's bare event parse of the same bytes (the floor: a small C
program built here) and, from the same program, the system calls that read
the file (the kernel's share of every read), (b) PyYAML's C loader plus a
dict lookup (what a user would pick instead) and (c) rapidyaml reading the
file and building its tree (`ryml.parse_in_arena`, the fastest YAML parser a
Python user can install); then the time per reader from 1,000 to 600,000
readers (flat when no step grows faster than the manifest), and the peak
memory of a fresh process reading a 50 MB and a 200 MB manifest.

Run: python benchmarks/bench_read.py [--no-memory] [--no-scaling]"""

import os
import pathlib
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import timeit

import corvane_config

try:
    import yaml
except ImportError:  # optional competitor
    yaml = None

try:
    import ryml
except ImportError:  # optional competitor
    ryml = None

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from manifests import manifest  # noqa: E402 - the tests' shared manifest text

SERVER = manifest()  # the corvane section, its readers to follow

READER = """\
    reader-{i}:
      model_name: model-{i}
      device: cuda
      consumer_group: group-{i}
      redis_host: redis.local
      max_batch_size: 32
      tensor_parallel: 2
      cuda_visible_devices: "0,1"
      page_cache_size: 2GB
"""


def manifest(count):
    return SERVER + "".join(READER.format(i=i) for i in range(count))


def build_floor(workdir):
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None
    binary = workdir / "libyaml_floor"
    subprocess.run([compiler, "-O2", str(HERE / "libyaml_floor.c"), "-lyaml", "-o", str(binary)],
                   check=True)
    return binary


def best(fn, number, repeat=7):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def timing_table(workdir, floor):
    print(f"{'readers':>8} {'floor':>11} {'fast parse':>11} {'x floor':>8}"
          f" {'corvane_config':>15} {'x floor':>8} {'file I/O':>11}"
          f" {'PyYAML C':>12} {'PyYAML/ours':>12} {'rapidyaml':>12} {'ours/ryml':>10}"
          f"  fast path")
    for count in (1, 100, 1_000, 10_000):
        path = workdir / f"manifest-{count}.yaml"
        path.write_text(manifest(count))
        target = f"reader-{count - 1}"
        number = max(1, 1000 // count)
        ours = best(lambda: corvane_config.read_corvane_readers_config(str(path), target), number)
        text = path.read_text(encoding="utf-8")
        parse_time = best(lambda: corvane_config._yaml_events(text, True), number)
        floor_time = io_time = None
        if floor is not None:
            def run_floor(*mode):
                return float(subprocess.run([str(floor), str(path), str(7 * number), *mode],
                                            check=True, capture_output=True, text=True).stdout)
            floor_time = run_floor()
            io_time = run_floor("io")  # the kernel's share of the read
        theirs = None
        if yaml is not None and hasattr(yaml, "CSafeLoader"):
            def load():
                with open(path, encoding="utf-8") as handle:
                    return yaml.load(handle, Loader=yaml.CSafeLoader)["corvane"]["readers_config"][target]
            theirs = best(load, number, repeat=3)
        rapid = None
        if ryml is not None:
            def parse():
                with open(path, "rb") as handle:
                    return ryml.parse_in_arena(handle.read())
            rapid = best(parse, number)
        row = f"{count:>8} "
        row += f"{floor_time * 1e3:>8.3f} ms " if floor_time else f"{'-':>11} "
        row += f"{parse_time * 1e3:>8.3f} ms "
        row += f"{parse_time / floor_time:>7.2f}x " if floor_time else f"{'-':>8} "
        row += f"{ours * 1e3:>12.3f} ms "
        row += f"{ours / floor_time:>7.2f}x " if floor_time else f"{'-':>8} "
        row += f"{io_time * 1e3:>8.3f} ms " if io_time else f"{'-':>11} "
        row += f"{theirs * 1e3:>9.3f} ms {theirs / ours:>11.1f}x" if theirs else f"{'-':>12} {'-':>12}"
        row += f" {rapid * 1e3:>9.3f} ms {ours / rapid:>9.2f}x" if rapid else f" {'-':>12} {'-':>10}"
        row += f"  {'taken' if corvane_config._yaml_fast_path(text) else 'not taken'}"
        print(row)


def write_manifest(path, count=None, megabytes=None):
    """Readers up to `count` or up to `megabytes` of text; returns the count."""
    written = 0
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(SERVER)
        while (written < count) if count is not None else (handle.tell() < megabytes * 2**20):
            handle.write(READER.format(i=written))
            written += 1
    return written


def scaling_table(workdir):
    print(f"\n{'readers':>8} {'MB':>7} {'read last':>11} {'per reader':>11}")
    for count in (1_000, 10_000, 100_000, 600_000):
        path = workdir / "manifest-scaling.yaml"
        write_manifest(path, count=count)
        target = f"reader-{count - 1}"
        took = best(lambda: corvane_config.read_corvane_readers_config(str(path), target),
                    number=1, repeat=max(3, 30_000 // count))
        print(f"{count:>8} {path.stat().st_size / 1e6:>7.1f} {took * 1e3:>8.1f} ms "
              f"{took / count * 1e6:>8.2f} us")
        path.unlink()


# The peak resident set of the probe's own address space (VmHWM): unlike
# ru_maxrss it does not carry over the parent's peak through fork and exec.
MEMORY_PROBE = """
import sys, corvane_config
def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
baseline = peak()
corvane_config.read_corvane_readers_config(sys.argv[1], sys.argv[2])
print(baseline, peak())
"""


def memory_check(workdir):
    print()
    for megabytes in (50, 200):
        path = workdir / f"manifest-{megabytes}mb.yaml"
        count = write_manifest(path, megabytes=megabytes)
        size = path.stat().st_size
        out = subprocess.run([sys.executable, "-c", MEMORY_PROBE, str(path), f"reader-{count - 1}"],
                             check=True, capture_output=True, text=True).stdout.split()
        baseline, peak = (int(v) * 1024 for v in out)
        print(f"{megabytes} MB manifest ({count} readers, {size / 2**20:.1f} MiB): peak above "
              f"baseline {(peak - baseline) / 2**20:.1f} MiB = {(peak - baseline) / size:.2f}x "
              f"the file size")
        path.unlink()


def main():
    pyyaml = "with libyaml" if yaml and yaml.__with_libyaml__ else "not installed or without libyaml"
    print(f"{platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} "
          f"{platform.python_version()}, PyYAML {pyyaml}")
    with tempfile.TemporaryDirectory() as tmp:
        workdir = pathlib.Path(tmp)
        floor = build_floor(workdir)
        timing_table(workdir, floor)
        if "--no-scaling" not in sys.argv:
            scaling_table(workdir)
        if "--no-memory" not in sys.argv:
            memory_check(workdir)


if __name__ == "__main__":
    main()
