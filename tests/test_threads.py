"""Python threads calling the module at the same time: reads of one shared
manifest, constructions, dicts, validations, and additions to each thread's
own manifest file. Every call holds the interpreter lock for its whole
length, so the threads interleave between calls; every result must be
exactly the one a single thread gets."""

import shutil
import sys
import threading

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config
from manifests import manifest

THREADS = 6
ROUNDS = 120
WRITE_EVERY = 6  # each addition syncs a file to disk: fewer of them

MANIFEST = manifest("""\
    shared:
      model_name: shared-model
      device: cuda
      consumer_group: primary
      cuda_visible_devices: "0,1"
      tensor_parallel: 2
      max_batch_size: 18446744073709551615
      page_cache_size: 4GiB
""")
# dict_without_optionals() never holds cuda_visible_devices.
SHARED = {
    "model_name": "shared-model",
    "device": "cuda",
    "consumer_group": "primary",
    "max_batch_size": 2**64 - 1,
    "tensor_parallel": 2,
    "page_cache_size": "4GiB",
}
INVALID = (
    "Validation Errors: [ValidationError { field: Field(\"tensor_parallel\"), error_type: "
    "Invalid(\"tensor_parallel is not supported on cpu\") }, ValidationError { field: "
    "Field(\"tensor_parallel\"), error_type: Invalid(\"tensor_parallel must be 1 or even, "
    "if specified.\") }]"
)


@pytest.fixture
def fast_switching():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(previous)


def worker(number, shared_path, own_path, shared_reader, start, failures):
    try:
        start.wait()
        for round_ in range(ROUNDS):
            reader = read_corvane_readers_config(shared_path, "shared")
            assert reader.dict_without_optionals() == SHARED
            assert reader.cuda_visible_devices == "0,1"
            assert reader.validate() is None
            assert shared_reader.dict_without_optionals() == SHARED

            settings = {
                "model_name": f"model-{number}-{round_}",
                "device": "cuda",
                "consumer_group": f"group-{number}",
                "max_batch_size": number * 1000 + round_,
                "log_level": "é" * (round_ % 5),
            }
            made = ReaderConfig(**settings)
            assert made.dict_without_optionals() == settings
            assert made.validate() is None

            bad = ReaderConfig(model_name="m", device="cpu", tensor_parallel=3)
            with pytest.raises(Exception) as caught:
                bad.validate()
            assert caught.value.args == (INVALID,)

            with pytest.raises(Exception) as caught:
                read_corvane_readers_config(shared_path, f"missing-{number}")
            assert caught.value.args == (
                f"Invalid Value: No reader with id missing-{number} found in manifest.yaml",)

            if round_ % WRITE_EVERY:
                continue
            reader_id = f"t{number}-r{round_}"
            assert made.add_to_manifest_yaml(own_path, reader_id) is None
            assert read_corvane_readers_config(own_path, reader_id).dict_without_optionals() == settings
    except BaseException as error:  # noqa: BLE001 - reported by the main thread
        failures.append((number, error))


def test_threads_get_exact_results(tmp_path, fast_switching):
    shared_path = tmp_path / "shared.yaml"
    shared_path.write_text(MANIFEST, encoding="utf-8")
    own_paths = []
    for number in range(THREADS):
        own = tmp_path / f"own-{number}.yaml"
        shutil.copyfile(shared_path, own)
        own_paths.append(own)
    shared_reader = read_corvane_readers_config(str(shared_path), "shared")
    start = threading.Barrier(THREADS)
    failures = []
    threads = [
        threading.Thread(target=worker, args=(number, str(shared_path), str(own_paths[number]),
                                              shared_reader, start, failures))
        for number in range(THREADS)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)
    assert failures == []

    # Each thread's file holds its readers and only its readers, complete.
    for number, own in enumerate(own_paths):
        text = own.read_text(encoding="utf-8")
        assert text.count("model_name:") == ROUNDS // WRITE_EVERY + 1
        for round_ in range(0, ROUNDS, WRITE_EVERY):
            reader = read_corvane_readers_config(str(own), f"t{number}-r{round_}")
            assert reader.model_name == f"model-{number}-{round_}"
            assert reader.max_batch_size == number * 1000 + round_
    assert shared_path.read_text(encoding="utf-8") == MANIFEST
