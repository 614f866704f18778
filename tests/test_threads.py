"""Python threads calling the module at the same time: reads of one shared
manifest, constructions, dicts, validations, and additions to each thread's
own manifest file and to one they share. The module releases the interpreter
lock while it reads, parses and writes, so the threads' calls overlap; every
result must be exactly the one a single thread gets, no addition may be
lost, and a thread that only ticks keeps ticking while another reads a large
manifest."""

import os
import shutil
import subprocess
import sys
import threading
import time

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config
from manifests import manifest
from write_support import Ticker, numbered_manifest

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


def run_threads(count, target):
    """Runs target(0) to target(count - 1) on threads of their own, all at
    once, and waits for them."""
    threads = [threading.Thread(target=target, args=(number,)) for number in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    assert not any(thread.is_alive() for thread in threads)


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
    run_threads(THREADS, lambda number: worker(number, str(shared_path), str(own_paths[number]),
                                               shared_reader, start, failures))
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


def test_other_threads_run_while_a_large_manifest_is_read(tmp_path):
    """About 30 MB: the read takes a good fraction of a second, during which
    a thread ticking every 5 ms must never wait 200 ms."""
    count = 280_000
    path = tmp_path / "large.yaml"
    path.write_text(numbered_manifest(count), encoding="utf-8")
    last = f"reader-{count - 1:05d}"
    with Ticker() as ticker:
        started = time.monotonic()
        reader = read_corvane_readers_config(str(path), last)
        took = time.monotonic() - started
    assert (reader.model_name, reader.max_batch_size) == (f"model-{count - 1}", count - 1)
    assert ticker.longest_gap < 0.2, (
        f"a 5 ms ticker stalled {ticker.longest_gap * 1e3:.0f} ms during a {took * 1e3:.0f} ms read")


def test_other_threads_run_while_a_reader_is_added(tmp_path):
    path = tmp_path / "manifest.yaml"
    path.write_text(numbered_manifest(10_000), encoding="utf-8")
    with Ticker() as ticker:
        ReaderConfig(model_name="new", device="cpu").add_to_manifest_yaml(str(path), "new")
    assert read_corvane_readers_config(str(path), "new").model_name == "new"
    assert read_corvane_readers_config(str(path), "reader-09999").max_batch_size == 9999
    assert ticker.longest_gap < 0.2, f"a 5 ms ticker stalled {ticker.longest_gap * 1e3:.0f} ms"


WRITERS = 8
ADDITIONS = 12


def test_threads_adding_to_shared_and_own_manifests_lose_nothing(tmp_path):
    """Every thread adds readers to one shared manifest and to its own, and
    reads both back meanwhile: the writers' lock orders the threads of one
    process as it orders processes, so every addition is in the end."""
    shared = tmp_path / "shared.yaml"
    shared.write_text(numbered_manifest(50), encoding="utf-8")
    own = [tmp_path / f"own-{number}.yaml" for number in range(WRITERS)]
    for path in own:
        shutil.copyfile(shared, path)
    start = threading.Barrier(WRITERS)
    failures = []

    def work(number):
        try:
            start.wait()
            for addition in range(ADDITIONS):
                reader = ReaderConfig(model_name=f"m-{number}-{addition}", device="cpu",
                                      max_batch_size=addition)
                reader.add_to_manifest_yaml(str(shared), f"s-{number}-{addition}")
                reader.add_to_manifest_yaml(str(own[number]), f"o-{addition}")
                back = read_corvane_readers_config(str(shared), f"s-{number}-{addition}")
                assert (back.model_name, back.max_batch_size) == (f"m-{number}-{addition}", addition)
                assert read_corvane_readers_config(str(shared), "reader-00049").max_batch_size == 49
                back = read_corvane_readers_config(str(own[number]), f"o-{addition}")
                assert back.model_name == f"m-{number}-{addition}"
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append((number, error))

    run_threads(WRITERS, work)
    assert failures == []

    text = shared.read_text(encoding="utf-8")
    assert text.count("model_name:") == 50 + WRITERS * ADDITIONS
    for number in range(WRITERS):
        for addition in range(ADDITIONS):
            reader = read_corvane_readers_config(str(shared), f"s-{number}-{addition}")
            assert reader.model_name == f"m-{number}-{addition}"
        assert own[number].read_text(encoding="utf-8").count("model_name:") == 50 + ADDITIONS
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ["shared.yaml"] + [p.name for p in own])


# Threads with small stacks (threading.stack_size): CPython's least and the
# next step up. Each row runs in a process of its own, three times: a stack
# overflow is a crash, and where it lands differs from run to run.
STACKS = {"32 KiB": 32768, "64 KiB": 65536}
SMALL_STACK = """
import sys, threading
from corvane_config import ReaderConfig, read_corvane_readers_config, _check_manifest
threading.stack_size(int(sys.argv[1]))
def work():
    for path in ("block.yaml", "flow.yaml"):
        print(read_corvane_readers_config(path, "r1").model_name)
        ReaderConfig(model_name="new", device="cpu").add_to_manifest_yaml(path, "new")
        print(read_corvane_readers_config(path, "new").validate(), _check_manifest(path))
thread = threading.Thread(target=work)
thread.start()
thread.join()
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizers' frames need larger stacks")
@pytest.mark.parametrize("stack", STACKS)
def test_calls_in_a_thread_with_a_small_stack(tmp_path, stack):
    try:  # newer interpreters need more stack for themselves
        threading.stack_size(STACKS[stack])
    except ValueError as refused:
        pytest.skip(f"this interpreter refuses a {stack} thread stack: {refused}")
    finally:
        threading.stack_size(0)
    reader = "    r1:\n      model_name: m\n      device: cpu\n      consumer_group: g\n"
    (tmp_path / "block.yaml").write_text(manifest(reader))
    # Read by libyaml (the fast path takes no flow collections).
    (tmp_path / "flow.yaml").write_text(manifest("    r1: {model_name: m, device: cpu, consumer_group: g}\n"))
    for run in range(3):
        for name in ("block.yaml", "flow.yaml"):
            shutil.copyfile(tmp_path / name, tmp_path / f"{run}-{name}")
        done = subprocess.run([sys.executable, "-c", SMALL_STACK.replace('"block', f'"{run}-block')
                               .replace('"flow', f'"{run}-flow'), str(STACKS[stack])],
                              cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == (0, "m\nNone (2, [])\n" * 2, ""), \
            f"run {run}"
