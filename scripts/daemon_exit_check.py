"""A daemon thread reads a manifest of 1,000 readers in a loop (a call that
lets go of the interpreter lock) while the main thread returns. On CPython 3.12 and 3.13
the interpreter ends such a thread with a forced unwind through the module's
C++ frames when it retakes the lock: the process must still exit with
status 0 and print nothing. scripts/test_wheel.sh runs it against the
installed wheel."""

import pathlib
import sys
import tempfile
import threading
import time

import corvane_config

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from manifests import manifest  # noqa: E402 - the tests' shared manifest text

READER = """    reader-{0}:
      model_name: model-{0}
      device: cuda
      consumer_group: group-{0}
"""


def main():
    folder = tempfile.mkdtemp()
    path = pathlib.Path(folder) / "manifest.yaml"
    readers = "".join(READER.format(number) for number in range(1000))
    path.write_text(manifest(readers), encoding="utf-8")

    def read_forever():
        while True:
            corvane_config.read_corvane_readers_config(path, "reader-999")

    threading.Thread(target=read_forever, daemon=True).start()
    time.sleep(0.3)  # the manifest file stays behind: the reader may still hold it


if __name__ == "__main__":
    main()
