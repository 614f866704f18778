"""Reading manifests, adding readers to them, and the other public operations
that tests/test_leaks.py does not loop over (AppConfig, copies, objects made
by a read), each in its passing and every failing form: 100,000 calls in all,
after which memory is where it was.

Three measures, each taken after a warm-up and compared with the value
before the measured calls:
- tracemalloc: Python memory still allocated. Tolerance 8 KiB plus 8 bytes
  per call; a leaked object of any kind is at least 16 bytes per call.
- the C heap's bytes in use (glibc mallinfo2), which also sees the module's
  own allocations: 64 KiB plus 16 bytes per call; leaking a record, a parsed
  manifest or a message per call exceeds that.
- the resident set size: 1 MiB, for leaks outside the heap.
Under AddressSanitizer (whose allocator holds freed memory back) only
tracemalloc is checked, and every count is divided by ten.
"""

import collections
import copy
import ctypes
import ctypes.util
import gc
import os
import pickle
import sys
import tracemalloc

import pytest

from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")
WARM_UP = 200
TRACED_TOLERANCE = 8 * 1024
TRACED_PER_CALL = 8
HEAP_TOLERANCE = 64 * 1024
HEAP_PER_CALL = 16
RSS_TOLERANCE = 1024 * 1024

SERVER = """\
  server_config:
    echo: false
    port: 3000
    enable_metrics: true
    heartbeat_check_interval: 10
    management_port: 3001
    vertex_port: 3002
    openai_port: 3003
    snowflake_port: 3004
    internal_port: 3005
    repository_path: /srv/models
    body_size_limit_bytes: 2097152
    allow_remote_images: false
"""
READERS = """\
  readers_config:
    r1:
      model_name: example-model
      device: cuda
      consumer_group: primary
      cuda_visible_devices: "0,1"
      tensor_parallel: 2
      max_batch_size: 8
      log_level: info
      page_cache_size: 4GiB
"""
MANIFEST = "corvane:\n" + SERVER + READERS
PREFIX = "Error Error Serializing/Deserializing:: "


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


def _heap_meter():
    libc = ctypes.CDLL(ctypes.util.find_library("c"))
    mallinfo2 = getattr(libc, "mallinfo2", None)
    if mallinfo2 is None or UNDER_SANITIZER:
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return in_use


HEAP_IN_USE = _heap_meter()


# Newer interpreters name it more generally.
CLEAR_TYPE_CACHE = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def settle():
    """Collects garbage and empties the interpreter's type attribute cache,
    which keeps a reference to each attribute name it saw. Pickling and
    unpickling look names up as fresh strings; under the sanitizer's allocator
    each lands at a new address and so in a new cache slot, up to thousands
    of them: bounded growth of the interpreter's, not a leak."""
    gc.collect()
    CLEAR_TYPE_CACHE()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    base = tmp_path_factory.mktemp("memory")
    paths = {
        "valid": MANIFEST,
        "syntax": MANIFEST + "  - broken\n",
        "data": MANIFEST.replace("max_batch_size: 8", "max_batch_size: eight"),
        "no_corvane": MANIFEST.replace("corvane:", "other:"),
        "incomplete_server": MANIFEST.replace("    port: 3000\n", ""),
    }
    written = {}
    for name, text in paths.items():
        written[name] = base / f"{name}.yaml"
        written[name].write_text(text, encoding="utf-8")
    written["not_utf8"] = base / "not_utf8.yaml"
    written["not_utf8"].write_bytes(MANIFEST.encode() + b"\xff")
    written["missing"] = base / "missing.yaml"
    written["directory"] = base / "directory"
    written["directory"].mkdir()
    written["target"] = base / "target.yaml"
    written["target"].write_text(MANIFEST, encoding="utf-8")
    return {name: str(path) for name, path in written.items()}


def fails(expected, call, *args):
    try:
        call(*args)
    except Exception as error:  # noqa: BLE001 - the module raises Exception itself
        assert error.args == (expected,)
        return
    raise AssertionError(f"{call} did not fail")


NEW_READER = ReaderConfig(model_name="new-model", device="cuda", tensor_parallel=2, log_level="debug")


def operations(files):
    """name -> (call, rounds); the rounds add up to 100,000."""

    def read_valid():
        reader = read_corvane_readers_config(files["valid"], "r1")
        assert reader.max_batch_size == 8

    def read_and_use():
        reader = read_corvane_readers_config(files["valid"], "r1")
        assert reader.dict_without_optionals()["page_cache_size"] == "4GiB"
        reader.validate()
        assert (reader.model_name, reader.tensor_parallel, reader.redis_host) == ("example-model", 2, None)

    def read_fails(name, message, reader_id="r1"):
        return lambda: fails(message, read_corvane_readers_config, files[name], reader_id)

    def add_valid():
        assert NEW_READER.add_to_manifest_yaml(files["target"], "r2") is None

    def add_fails(name, message):
        return lambda: fails(message, NEW_READER.add_to_manifest_yaml, files[name], "r2")

    def app_config_refused():
        try:
            AppConfig()
        except TypeError:
            return
        raise AssertionError("AppConfig() did not fail")

    def copies():
        assert copy.copy(NEW_READER).log_level == "debug"
        assert copy.deepcopy(NEW_READER).tensor_parallel == 2

    def pickling():
        assert pickle.loads(pickle.dumps(NEW_READER)).log_level == "debug"

    not_found = "File Not Found on path: {}".format
    return {
        "read": (read_valid, 10_000),
        "read and use the result": (read_and_use, 5_000),
        "read a missing file": (read_fails("missing", not_found(files["missing"])), 10_000),
        "read a directory": (read_fails("directory", not_found(files["directory"])), 5_000),
        "read invalid UTF-8": (read_fails("not_utf8", not_found(files["not_utf8"])), 5_000),
        "read a syntax error": (read_fails(
            "syntax", PREFIX + "did not find expected key at line 25 column 3, "
            "while parsing a block mapping at line 2 column 3"), 5_000),
        "read a data error": (read_fails(
            "data", PREFIX + 'corvane.readers_config.r1.max_batch_size: invalid type: '
            'string "eight", expected u64 at line 22 column 23'), 5_000),
        "read without corvane": (read_fails(
            "no_corvane", PREFIX + "No corvane key found in manifest"), 5_000),
        "read an unknown reader": (read_fails(
            "valid", "Invalid Value: No reader with id r9 found in manifest.yaml", "r9"), 10_000),
        "add": (add_valid, 1_000),
        "add to a missing file": (add_fails("missing", not_found(files["missing"])), 5_000),
        "add to a directory": (add_fails("directory", not_found(files["directory"])), 4_000),
        "add to a syntax error": (add_fails(
            "syntax", PREFIX + "did not find expected key at line 25 column 3, "
            "while parsing a block mapping at line 2 column 3"), 5_000),
        "add to an incomplete server": (add_fails(
            "incomplete_server", PREFIX + "corvane.server_config: missing field `port` "
            "at line 3 column 5"), 5_000),
        "add without corvane": (add_fails(
            "no_corvane", PREFIX + "No corvane key found in manifest"), 1_000),
        "AppConfig refused": (app_config_refused, 5_000),
        "copy and deepcopy": (copies, 7_500),
        "pickling": (pickling, 6_500),
    }


OPERATION_NAMES = list(operations(collections.defaultdict(str)))


def test_counts_add_up_to_a_hundred_thousand():
    assert sum(count for _, count in operations(collections.defaultdict(str)).values()) == 100_000


@pytest.mark.parametrize("name", OPERATION_NAMES)
def test_memory_stays_flat(files, name):
    call, count = operations(files)[name]
    if UNDER_SANITIZER:
        count //= 10
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            call()
        settle()
        traced_before = tracemalloc.get_traced_memory()[0]
        heap_before = HEAP_IN_USE() if HEAP_IN_USE else 0
        rss_before = resident_bytes()
        for _ in range(count):
            call()
        settle()
        traced_after = tracemalloc.get_traced_memory()[0]
        heap_after = HEAP_IN_USE() if HEAP_IN_USE else 0
        rss_after = resident_bytes()
    finally:
        tracemalloc.stop()
    if os.environ.get("CORVANE_MEMORY_REPORT"):
        print(f"\n{name}: {count} calls, traced {traced_after - traced_before:+d} B, "
              f"heap {heap_after - heap_before:+d} B, rss {rss_after - rss_before:+d} B")
    assert traced_after - traced_before < TRACED_TOLERANCE + TRACED_PER_CALL * count
    if HEAP_IN_USE:
        assert heap_after - heap_before < HEAP_TOLERANCE + HEAP_PER_CALL * count
    if not UNDER_SANITIZER:
        assert rss_after - rss_before < RSS_TOLERANCE
