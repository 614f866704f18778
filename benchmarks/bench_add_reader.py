"""Changing a manifest of growing size, every way the module offers, side by
side in one run, with peers where they are installed
(pip install -r benchmarks/requirements.txt):

- "add": add_to_manifest_yaml, the manifest written afresh;
- "keep": add_to_manifest_yaml(keep_layout=True) changing one setting of the
  last reader (the edited text read back before it is written);
- "remove": remove_corvane_readers_config of a reader added just before;
- "read all": read_corvane_readers, every reader as a ReaderConfig;
- "read one": read_corvane_readers_config of the last reader, the yardstick;
- PyYAML's C loader and dumper (load, insert, dump, write) and ruamel.yaml's
  round trip (load, insert, dump, write), which keeps comments.

corvane_config's writes include what makes them safe: the manifest lock, an
fsync of the new file and the rename over the old one. The peers' writes are a
plain truncate-and-write without fsync, which favours them. The files live on
a tmpfs (/dev/shm) where there is one, so that the disk's flushes do not hide
the work.

Run: python benchmarks/bench_add_reader.py
Times are the best of five repeats, per call.
"""

import io
import os
import pathlib
import sys
import tempfile
import time
import timeit

import corvane_config
from corvane_config import ReaderConfig

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from manifests import manifest  # noqa: E402 - the tests' shared manifest text

try:
    import yaml
except ImportError:  # pragma: no cover - optional peer
    yaml = None
try:
    from ruamel.yaml import YAML
except ImportError:  # pragma: no cover - optional peer
    YAML = None

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

NEW_READER = {"model_name": "new-model", "device": "cpu", "consumer_group": "", "max_batch_size": 8}


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def best_of_alternate(prepare, timed, number):
    """The best per-call time of `timed`, each call after an untimed `prepare`."""
    results = []
    for _ in range(5):
        total = 0.0
        for _ in range(number):
            prepare()
            start = time.perf_counter()
            timed()
            total += time.perf_counter() - start
        results.append(total / number)
    return min(results)


def with_pyyaml(path):
    with open(path, encoding="utf-8") as handle:
        document = yaml.load(handle, Loader=yaml.CSafeLoader)
    section = document["corvane"]
    section["readers_config"]["bench-new"] = NEW_READER
    text = yaml.dump({"corvane": section}, Dumper=yaml.CSafeDumper, sort_keys=False)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)


def with_ruamel(path):
    round_trip = YAML()  # the round-trip loader and dumper
    with open(path, encoding="utf-8") as handle:
        document = round_trip.load(handle)
    document["corvane"]["readers_config"]["bench-new"] = dict(NEW_READER)
    out = io.StringIO()
    round_trip.dump(document, out)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(out.getvalue())


def main():
    new = ReaderConfig(model_name="new-model", device="cpu", max_batch_size=8)
    peers = [(name, fn) for name, fn in (
        ("PyYAML C", with_pyyaml if yaml is not None and hasattr(yaml, "CSafeLoader") else None),
        ("ruamel RT", with_ruamel if YAML is not None else None)) if fn]
    columns = ["add", "keep", "remove", "read all", "read one"] + [name for name, _ in peers]
    print(f"{'readers':>8}" + "".join(f" {name:>11}" for name in columns)
          + f" {'keep/add':>9} {'keep/one':>9} {'remove/one':>10} {'all/one':>8}")
    where = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=where) as directory:
        for count in (100, 1_000, 10_000):
            text = SERVER + "".join(READER.format(i=i) for i in range(count))
            path = os.path.join(directory, f"manifest-{count}.yaml")
            pathlib.Path(path).write_text(text, encoding="utf-8")
            number = max(1, 2_000 // count)
            last = f"reader-{count - 1}"
            stored = corvane_config.read_corvane_readers_config(path, last)
            variants = [stored.__replace__(max_batch_size=size) for size in (16, 32)]
            turn = iter(range(10**9))

            def keep():
                variants[next(turn) % 2].add_to_manifest_yaml(path, last, keep_layout=True)

            times = {
                "keep": best(keep, number),
                "remove": best_of_alternate(
                    lambda: new.add_to_manifest_yaml(path, "bench-new", keep_layout=True),
                    lambda: corvane_config.remove_corvane_readers_config(path, "bench-new"),
                    number),
                "read all": best(lambda: corvane_config.read_corvane_readers(path), number),
                "read one": best(
                    lambda: corvane_config.read_corvane_readers_config(path, last), number),
            }
            # The fresh rewrite last: it drops the layout the others edit.
            times["add"] = best(lambda: new.add_to_manifest_yaml(path, "bench-new"), number)
            for name, fn in peers:
                peer_path = os.path.join(directory, f"peer-{count}.yaml")
                pathlib.Path(peer_path).write_text(text, encoding="utf-8")
                times[name] = best(lambda: fn(peer_path), max(1, number // 4))
            one = times["read one"]
            print(f"{count:>8}" + "".join(f" {times[name] * 1e3:>8.2f} ms" for name in columns)
                  + f" {times['keep'] / times['add']:>8.2f}x {times['keep'] / one:>8.2f}x"
                  + f" {times['remove'] / one:>9.2f}x {times['read all'] / one:>7.2f}x")


if __name__ == "__main__":
    main()
