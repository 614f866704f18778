"""Adding a reader to manifests of growing size, against the same job done
with PyYAML's C loader and dumper (load, insert, dump, write) when it is
installed (pip install -r benchmarks/requirements.txt).

corvane_config's time includes what makes its rewrite safe: the manifest
lock, an fsync of the new file and the rename over the old one. PyYAML's
is a plain truncate-and-write without fsync, so the comparison favours it.
The last column is corvane_config's time per reader: flat when no step
grows faster than the manifest.

Run: python benchmarks/bench_add_reader.py
Times are the best of five repeats, per call.
"""

import os
import pathlib
import sys
import tempfile
import timeit

from corvane_config import ReaderConfig

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from manifests import manifest  # noqa: E402 - the tests' shared manifest text

try:
    import yaml
except ImportError:  # pragma: no cover - optional competitor
    yaml = None

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


def with_pyyaml(path):
    with open(path, encoding="utf-8") as handle:
        document = yaml.load(handle, Loader=yaml.CSafeLoader)
    section = document["corvane"]
    section["readers_config"]["bench-new"] = NEW_READER
    text = yaml.dump({"corvane": section}, Dumper=yaml.CSafeDumper, sort_keys=False)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)


def main():
    reader = ReaderConfig(model_name="new-model", device="cpu", max_batch_size=8)
    competing = yaml is not None and hasattr(yaml, "CSafeLoader")
    header = f"{'readers':>8} {'corvane_config':>16}"
    if competing:
        header += f" {'PyYAML C':>14} {'speed-up':>9}"
    print(header + f" {'per reader':>11}")
    with tempfile.TemporaryDirectory() as directory:
        for count in (100, 1_000, 10_000):
            text = SERVER + "".join(READER.format(i=i) for i in range(count))
            ours_path = os.path.join(directory, f"ours-{count}.yaml")
            theirs_path = os.path.join(directory, f"theirs-{count}.yaml")
            for path in (ours_path, theirs_path):
                with open(path, "w", encoding="utf-8") as handle:
                    handle.write(text)
            number = max(1, 2_000 // count)
            ours = best(lambda: reader.add_to_manifest_yaml(ours_path, "bench-new"), number)
            row = f"{count:>8} {ours * 1e3:>13.2f} ms"
            if competing:
                theirs = best(lambda: with_pyyaml(theirs_path), number)
                row += f" {theirs * 1e3:>11.2f} ms {theirs / ours:>8.1f}x"
            print(row + f" {ours / count * 1e6:>8.2f} us")


if __name__ == "__main__":
    main()
