"""Checking every reader of a manifest against reading one reader of it: the
check parses the file once, so checking 10,000 readers should cost at most 3x
one read (interpreter start-up excluded). Runs interleaved, reports minima; a
manifest with one faulty reader in the middle shows the recovering second
parse.

Run: python benchmarks/bench_check.py [READERS]"""

import io
import pathlib
import sys
import tempfile
import time

import corvane_config
import corvane_config_cli

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from bench_read import manifest  # noqa: E402 - the read benchmark's manifest


def interleaved_minima(functions, rounds=15):
    best = [float("inf")] * len(functions)
    for _ in range(rounds):
        for index, function in enumerate(functions):
            start = time.perf_counter()
            function()
            best[index] = min(best[index], time.perf_counter() - start)
    return best


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    with tempfile.TemporaryDirectory() as folder:
        clean = pathlib.Path(folder, "clean.yaml")
        clean.write_text(manifest(count))
        faulty = pathlib.Path(folder, "faulty.yaml")
        faulty.write_text(manifest(count).replace("max_batch_size: 32", "max_batch_size: x", 1)
                          .replace(f"model-{count // 2}\n", f"model-{count // 2}\n      port: 1\n"))
        target = f"reader-{count - 1}"

        def read_one():
            corvane_config.read_corvane_readers_config(str(clean), target)

        def check(path):
            def run():
                out = io.StringIO()
                assert corvane_config_cli._check([str(path)], "text", out) in (0, 1)
            return run

        read, checked, checked_faulty = interleaved_minima(
            [read_one, check(clean), check(faulty)])
    print(f"{count} readers: read one {read * 1e3:.2f} ms, check all {checked * 1e3:.2f} ms "
          f"({checked / read:.2f}x), check with a faulty reader {checked_faulty * 1e3:.2f} ms "
          f"({checked_faulty / read:.2f}x)")


if __name__ == "__main__":
    main()
