"""Several processes adding readers to one manifest at once lose none of them,
and a process reading the manifest meanwhile always finds a whole file."""

import multiprocessing
import time

from corvane_config import ReaderConfig, read_corvane_readers_config
from manifests import manifest

WRITERS = 8
ADDITIONS = 50

MANIFEST = manifest("""\
    reader-a:
      model_name: example-model
      device: cuda
      consumer_group: primary
      max_batch_size: 8
""")


def add_readers(path, writer, start):
    start.wait()
    for number in range(ADDITIONS):
        reader = ReaderConfig(
            model_name=f"model-{writer}-{number}", device="cpu", max_batch_size=number
        )
        reader.add_to_manifest_yaml(path, f"w{writer}-{number}")


def read_until_stopped(path, stop, results):
    reads = failures = 0
    first_failure = ""
    while not stop.is_set():
        try:
            reader = read_corvane_readers_config(path, "reader-a")
            if reader.max_batch_size != 8:
                raise AssertionError(f"reader-a read as {reader.max_batch_size}")
        except Exception as error:  # noqa: BLE001 - counted and reported
            failures += 1
            first_failure = first_failure or str(error)
        reads += 1
        time.sleep(0.002)  # leave the writers most of the CPU
    results.put((reads, failures, first_failure))


def test_concurrent_writers_lose_nothing(tmp_path):
    path = tmp_path / "manifest.yaml"
    path.write_text(MANIFEST)
    context = multiprocessing.get_context("fork")
    start = context.Event()
    stop = context.Event()
    results = context.Queue()

    watcher = context.Process(target=read_until_stopped, args=(str(path), stop, results))
    writers = [
        context.Process(target=add_readers, args=(str(path), writer, start))
        for writer in range(WRITERS)
    ]
    watcher.start()
    for process in writers:
        process.start()
    start.set()
    for process in writers:
        process.join(timeout=60)
    stop.set()
    reads, failures, first_failure = results.get(timeout=30)
    watcher.join(timeout=30)

    assert [process.exitcode for process in writers] == [0] * WRITERS
    assert watcher.exitcode == 0
    assert (failures, first_failure) == (0, "")
    assert reads > 0
    for writer in range(WRITERS):
        for number in range(ADDITIONS):
            reader = read_corvane_readers_config(str(path), f"w{writer}-{number}")
            assert (reader.model_name, reader.max_batch_size) == (f"model-{writer}-{number}", number)
    assert read_corvane_readers_config(str(path), "reader-a").model_name == "example-model"
    assert path.read_text().count("model_name:") == WRITERS * ADDITIONS + 1
    assert sorted(p.name for p in tmp_path.iterdir()) == ["manifest.yaml"]
