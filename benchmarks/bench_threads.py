"""What other Python threads see while corvane_config works.

1. The longest stall of a thread that ticks every 5 ms, while the main thread
   reads the last reader of a ~20 MB manifest, and while it adds a reader to
   a 10,000-reader manifest. The module lets go of the interpreter lock for
   its own work, so the ticks should keep coming.
2. Reads per second of the last reader of a 10,000-reader manifest with one
   thread and with two (on a machine with at least two cores, two threads
   should come close to twice one).

Run: python benchmarks/bench_threads.py [--seconds S]
"""

import os
import pathlib
import platform
import sys
import tempfile
import threading
import time

from corvane_config import ReaderConfig, read_corvane_readers_config

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_read import READER, SERVER, manifest  # noqa: E402

TICK = 0.005


class Ticker:
    """A thread that wakes every TICK seconds and remembers the longest gap."""

    def __init__(self):
        self.longest = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        last = time.perf_counter()
        while not self._stop.is_set():
            time.sleep(TICK)
            now = time.perf_counter()
            self.longest = max(self.longest, now - last)
            last = now

    def __enter__(self):
        self._thread.start()
        time.sleep(0.05)  # let it settle
        self.longest = 0.0
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


def large_manifest(path, megabytes):
    count = 0
    with open(path, "w", encoding="utf-8") as out:
        out.write(SERVER)
        while out.tell() < megabytes * 1_000_000:
            out.write(READER.format(i=count))
            count += 1
    return count


def stall_of(action, repeat=5):
    """The longest tick gap over `repeat` runs of action, and the time of one run."""
    longest = 0.0
    elapsed = float("inf")
    for _ in range(repeat):
        with Ticker() as ticker:
            start = time.perf_counter()
            action()
            elapsed = min(elapsed, time.perf_counter() - start)
        longest = max(longest, ticker.longest - TICK)
    return longest, elapsed


def reads_per_second(path, target, threads, seconds):
    counts = [0] * threads
    stop = threading.Event()

    def loop(slot):
        while not stop.is_set():
            read_corvane_readers_config(path, target)
            counts[slot] += 1

    workers = [threading.Thread(target=loop, args=(i,)) for i in range(threads)]
    for worker in workers:
        worker.start()
    time.sleep(seconds)
    stop.set()
    for worker in workers:
        worker.join()
    return sum(counts) / seconds


def main():
    seconds = float(sys.argv[sys.argv.index("--seconds") + 1]) if "--seconds" in sys.argv else 5.0
    print(f"{platform.machine()}, {os.cpu_count()} cores, {platform.python_implementation()} "
          f"{platform.python_version()}")
    with tempfile.TemporaryDirectory() as tmp:
        big = pathlib.Path(tmp) / "manifest-20mb.yaml"
        count = large_manifest(big, 20)
        stall, took = stall_of(lambda: read_corvane_readers_config(str(big), f"reader-{count - 1}"))
        print(f"read the last of {count} readers (20 MB, {took * 1e3:.0f} ms): "
              f"longest stall of a 5 ms ticker {stall * 1e3:.1f} ms")

        ten_k = pathlib.Path(tmp) / "manifest-10000.yaml"
        ten_k.write_text(manifest(10_000), encoding="utf-8")
        reader = ReaderConfig(model_name="added", device="cpu")
        stall, took = stall_of(lambda: reader.add_to_manifest_yaml(str(ten_k), "added"))
        print(f"add a reader to 10,000 readers ({took * 1e3:.0f} ms): "
              f"longest stall of a 5 ms ticker {stall * 1e3:.1f} ms")

        ten_k.write_text(manifest(10_000), encoding="utf-8")
        one = reads_per_second(str(ten_k), "reader-9999", 1, seconds)
        two = reads_per_second(str(ten_k), "reader-9999", 2, seconds)
        print(f"reads per second of the last of 10,000 readers: 1 thread {one:.1f}, "
              f"2 threads {two:.1f} ({two / one:.2f}x)")


if __name__ == "__main__":
    main()
