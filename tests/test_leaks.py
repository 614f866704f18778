"""Repeating every ReaderConfig operation 100,000 times, passing and failing,
leaves memory flat.

Python objects are counted with sys.getallocatedblocks() (or tracemalloc when
the interpreter's own allocator is off); native memory, such as a record that
is never destroyed, shows in the resident set size. A leak of one object per
call would add 100,000 blocks; a leaked record at least ~10 MB. The tolerances
(500 blocks, 4 MiB) absorb the interpreter's caches and free lists.
"""

import gc
import os
import pathlib
import pickle
import sys
import tracemalloc

import pytest

import corvane_config
from corvane_config import ReaderConfig, read_corvane_readers_config

ROUNDS = 100_000
BLOCK_TOLERANCE = 500
RSS_TOLERANCE = 4 * 1024 * 1024
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")

VALID = ReaderConfig(
    model_name="model",
    device="cuda",
    consumer_group="g",
    tensor_parallel=2,
    cuda_visible_devices="0,1",
    max_batch_size=2**64 - 1,
    log_level="info",
)
INVALID = ReaderConfig(model_name="m", device="cpu", tensor_parallel=3, cuda_visible_devices="x")
WITH_ATTRIBUTES = VALID.__replace__(access_token="t", disable_paged_attention=1)
WITH_ATTRIBUTES.me = WITH_ATTRIBUTES
STATE = VALID.__reduce__()[1][0]
MISSING = pathlib.Path("/nonexistent-corvane-directory/manifest.yaml")
# Parsed now: pathlib interns the parts of a path when it first renders it,
# and interned strings live until the process ends.
os.fspath(MISSING)
NAMES = [
    name
    for name, value in vars(ReaderConfig).items()
    if type(value).__name__ == "getset_descriptor" and name != "__dict__"
]


def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error}")


def construct():
    ReaderConfig(model_name="m", device="cuda", tensor_parallel=2, max_batch_size=8, log_level="x")


def construct_failing():
    expect(TypeError, ReaderConfig, device="cuda")  # model_name check
    expect(TypeError, ReaderConfig, model_name="m", device="api")  # device check
    expect(TypeError, ReaderConfig, model_name="m", log_level=None)  # conversion
    expect(OverflowError, ReaderConfig, model_name="m", tensor_parallel=-1)
    expect(TypeError, ReaderConfig, "positional")


def construct_with_instance_attributes():
    reader = ReaderConfig(model_name="m", device="cpu")
    reader.note = [reader]  # a cycle through the instance dict


def dict_without_optionals():
    VALID.dict_without_optionals()


def validate_passing():
    VALID.validate()


def validate_failing():
    expect(Exception, INVALID.validate)


def read_properties():
    for name in NAMES:
        getattr(VALID, name)


def argument_errors():
    expect(TypeError, read_corvane_readers_config, path=1)
    expect(TypeError, read_corvane_readers_config, "a", "b", "c")
    expect(TypeError, VALID.add_to_manifest_yaml, "p", bad=1)
    expect(TypeError, VALID.add_to_manifest_yaml, "p")
    expect(UnicodeEncodeError, VALID.add_to_manifest_yaml, "\udc80", "r")


def pickle_round_trip():
    restored = pickle.loads(pickle.dumps(VALID, protocol=pickle.HIGHEST_PROTOCOL))
    assert restored == VALID


def pickle_with_instance_attributes():
    reader = pickle.loads(pickle.dumps(WITH_ATTRIBUTES))
    assert reader.me is reader  # a cycle through the instance dict


def pickle_state_malformed():
    expect(TypeError, corvane_config._reader_config_from_state, [])
    expect(ValueError, corvane_config._reader_config_from_state, STATE[:-1])
    expect(TypeError, corvane_config._reader_config_from_state, (None,) + STATE[1:])
    expect(OverflowError, corvane_config._reader_config_from_state, STATE[:-2] + (-1, None))


def replace():
    VALID.__replace__(model_name="other", log_level=None, max_batch_size=8, disable_static=1)


def replace_failing():
    expect(TypeError, VALID.__replace__, tensor_paralel=2)
    expect(TypeError, VALID.__replace__, model_name=None)
    expect(OverflowError, VALID.__replace__, log_level="x", tensor_parallel=-1)
    expect(TypeError, VALID.__replace__, "positional")


def repr_equality_and_hash():
    assert repr(VALID) and VALID != INVALID and VALID == VALID
    hash(VALID)


class BytesPath:
    def __fspath__(self):
        return b"manifest.yaml"


def path_like_arguments():
    expect(Exception, read_corvane_readers_config, MISSING, "r")
    expect(Exception, VALID.add_to_manifest_yaml, MISSING, "r")
    expect(TypeError, read_corvane_readers_config, BytesPath(), "r")


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


def python_blocks():
    blocks = sys.getallocatedblocks()
    if blocks == 0:  # PYTHONMALLOC=malloc: fall back to tracemalloc
        return tracemalloc.get_traced_memory()[0] // 64
    return blocks


# Operations that do several calls per round run fewer rounds, so that every
# kind of call is made 100,000 times.
@pytest.mark.parametrize(
    "operation, calls_per_round",
    [
        (construct, 1),
        (construct_failing, 5),
        (construct_with_instance_attributes, 1),
        (dict_without_optionals, 1),
        (validate_passing, 1),
        (validate_failing, 1),
        (read_properties, len(NAMES)),
        (argument_errors, 5),
        (pickle_round_trip, 1),
        (pickle_with_instance_attributes, 1),
        (pickle_state_malformed, 4),
        (replace, 1),
        (replace_failing, 4),
        (repr_equality_and_hash, 4),
        (path_like_arguments, 3),
    ],
)
def test_memory_stays_flat(operation, calls_per_round):
    rounds = ROUNDS // calls_per_round
    if UNDER_SANITIZER:
        rounds //= 10
    tracing = sys.getallocatedblocks() == 0
    if tracing:
        tracemalloc.start()
    try:
        for _ in range(1000):  # warm caches and free lists
            operation()
        settle()
        blocks_before, rss_before = python_blocks(), resident_bytes()
        for _ in range(rounds):
            operation()
        settle()
        blocks_after, rss_after = python_blocks(), resident_bytes()
    finally:
        if tracing:
            tracemalloc.stop()
    assert blocks_after - blocks_before < BLOCK_TOLERANCE
    if not UNDER_SANITIZER:  # the sanitizer's quarantine holds freed memory
        assert rss_after - rss_before < RSS_TOLERANCE
