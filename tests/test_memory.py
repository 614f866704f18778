"""Every public operation of the module, in its passing and every failing
form, repeated many times, leaves memory where it was.

Each operation runs a warm-up, then its measured calls (100,000 of each kind
of call for the cheap ones, 1,000 to 10,000 for those that read or write a
file), and three measures are compared before and after:
- tracemalloc: Python memory still allocated. Tolerance 8 KiB plus 8 bytes
  per call; a leaked object of any kind is at least 16 bytes per call.
- the C heap's bytes in use (glibc mallinfo2), which also sees the module's
  own allocations: 64 KiB plus 16 bytes per call; leaking a record, a parsed
  manifest or a message per call exceeds that.
- the resident set size: 4 MiB, for leaks outside the heap (a leaked record
  per call would add megabytes).
Under AddressSanitizer (whose allocator holds freed memory back) only
tracemalloc is checked, and every count is divided by ten.
"""

import collections
import copy
import ctypes
import ctypes.util
import gc
import os
import pathlib
import pickle
import sys
import tracemalloc

import pytest

import corvane_config
from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config
from manifests import manifest

UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")
WARM_UP = 200
TRACED_TOLERANCE = 8 * 1024
TRACED_PER_CALL = 8
HEAP_TOLERANCE = 64 * 1024
HEAP_PER_CALL = 16
RSS_TOLERANCE = 4 * 1024 * 1024

MANIFEST = manifest("""\
    r1:
      model_name: example-model
      device: cuda
      consumer_group: primary
      cuda_visible_devices: "0,1"
      tensor_parallel: 2
      max_batch_size: 8
      log_level: info
      page_cache_size: 4GiB
""")
PREFIX = "Error Error Serializing/Deserializing:: "
SYNTAX_ERROR = (PREFIX + "did not find expected key at line 25 column 3, "
                "while parsing a block mapping at line 2 column 3")


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


def raises(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call} did not raise {error}")


NEW_READER = ReaderConfig(model_name="new-model", device="cuda", tensor_parallel=2, log_level="debug")
VALID = ReaderConfig(model_name="model", device="cuda", consumer_group="g", tensor_parallel=2,
                     cuda_visible_devices="0,1", max_batch_size=2**64 - 1, log_level="info")
INVALID = ReaderConfig(model_name="m", device="cpu", tensor_parallel=3, cuda_visible_devices="x")
PROPERTIES = [name for name, value in vars(ReaderConfig).items()
              if type(value).__name__ == "getset_descriptor" and name != "__dict__"]
WITH_ATTRIBUTES = VALID.__replace__(access_token="t", disable_paged_attention=1)
WITH_ATTRIBUTES.me = WITH_ATTRIBUTES
STATE = VALID.__reduce__()[1][0]
MISSING = pathlib.Path("/nonexistent-corvane-directory/manifest.yaml")
# Rendered now: pathlib interns the parts of a path when it first renders it,
# and interned strings live until the process ends.
os.fspath(MISSING)


class BytesPath:
    def __fspath__(self):
        return b"manifest.yaml"


def fast_path_probes():
    corvane_config._yaml_fast_path("a:\n  b: 'c'\n")
    corvane_config._yaml_fast_path("a: [b]\n")
    raises(TypeError, corvane_config._yaml_fast_path, b"a: b\n")
    corvane_config._yaml_events("a:\n  b: 'c'\n", True)
    corvane_config._yaml_events("a: [b\n", False)
    raises(TypeError, corvane_config._yaml_events, "a: b\n")


class Operation:
    """`call` repeated `rounds` times makes `calls_per_round` calls of the
    module each round; `covers` names the module's entry points it reaches."""

    def __init__(self, call, rounds, covers, calls_per_round=1):
        self.call, self.rounds, self.covers = call, rounds, set(covers)
        self.calls_per_round = calls_per_round


def operations(files):
    def read_valid():
        assert read_corvane_readers_config(files["valid"], "r1").max_batch_size == 8

    def read_and_use():
        reader = read_corvane_readers_config(files["valid"], "r1")
        assert reader.dict_without_optionals()["page_cache_size"] == "4GiB"
        reader.validate()
        assert (reader.model_name, reader.tensor_parallel, reader.redis_host) == ("example-model", 2, None)

    def read_fails(name, message, reader_id="r1"):
        return lambda: fails(message, read_corvane_readers_config, files[name], reader_id)

    def add_valid():
        assert NEW_READER.add_to_manifest_yaml(files["target"], "r2") is None

    def edit_keeping_layout():
        # Put, change, read all and remove, so the file ends as it began.
        assert NEW_READER.add_to_manifest_yaml(files["target"], "r3", keep_layout=True) is None
        changed = NEW_READER.__replace__(max_batch_size=4, log_level=None)
        assert changed.add_to_manifest_yaml(files["target"], "r3", keep_layout=True) is None
        assert corvane_config.read_corvane_readers(files["target"])["r3"] == changed
        assert corvane_config.remove_corvane_readers_config(files["target"], "r3") is None

    def add_fails(name, message):
        return lambda: fails(message, NEW_READER.add_to_manifest_yaml, files[name], "r2")

    def construct():
        ReaderConfig(model_name="m", device="cuda", tensor_parallel=2, max_batch_size=8,
                     log_level="x")

    def construct_failing():
        raises(TypeError, ReaderConfig, device="cuda")  # model_name check
        raises(TypeError, ReaderConfig, model_name="m", device="api")  # device check
        raises(TypeError, ReaderConfig, model_name="m", log_level=None)  # conversion
        raises(OverflowError, ReaderConfig, model_name="m", tensor_parallel=-1)
        raises(TypeError, ReaderConfig, "positional")

    def construct_with_instance_attributes():
        reader = ReaderConfig(model_name="m", device="cpu")
        reader.note = [reader]  # a cycle through the instance dict

    def read_properties():
        for name in PROPERTIES:
            getattr(VALID, name)

    def argument_errors():
        raises(TypeError, read_corvane_readers_config, path=1)
        raises(TypeError, read_corvane_readers_config, "a", "b", "c")
        raises(TypeError, VALID.add_to_manifest_yaml, "p", bad=1)
        raises(TypeError, VALID.add_to_manifest_yaml, "p")
        raises(UnicodeEncodeError, VALID.add_to_manifest_yaml, "\ud800", "r")

    def copies():
        assert copy.copy(NEW_READER).log_level == "debug"
        assert copy.deepcopy(NEW_READER).tensor_parallel == 2

    def pickling():
        assert pickle.loads(pickle.dumps(NEW_READER, protocol=pickle.HIGHEST_PROTOCOL)) == NEW_READER

    def pickling_with_instance_attributes():
        reader = pickle.loads(pickle.dumps(WITH_ATTRIBUTES))
        assert reader.me is reader  # a cycle through the instance dict

    def malformed_states():
        rebuild = corvane_config._reader_config_from_state
        raises(TypeError, rebuild, [])
        raises(ValueError, rebuild, STATE[:-1])
        raises(TypeError, rebuild, (None,) + STATE[1:])
        raises(OverflowError, rebuild, STATE[:-2] + (-1, None))

    def replace():
        VALID.__replace__(model_name="other", log_level=None, max_batch_size=8, disable_static=1)

    def replace_failing():
        raises(TypeError, VALID.__replace__, tensor_paralel=2)
        raises(TypeError, VALID.__replace__, model_name=None)
        raises(OverflowError, VALID.__replace__, log_level="x", tensor_parallel=-1)
        raises(TypeError, VALID.__replace__, "positional")

    def repr_comparison_and_hash():
        assert repr(VALID) and VALID != INVALID and VALID == VALID
        hash(VALID)
        raises(TypeError, lambda: VALID < INVALID)
        raises(TypeError, lambda: VALID <= INVALID)
        raises(TypeError, lambda: VALID > INVALID)
        raises(TypeError, lambda: VALID >= INVALID)

    def path_like_arguments():
        raises(Exception, read_corvane_readers_config, MISSING, "r")
        raises(Exception, VALID.add_to_manifest_yaml, MISSING, "r")
        raises(TypeError, read_corvane_readers_config, BytesPath(), "r")

    def check_manifests():
        # Every kind of outcome: clean, each kind of read failure (the data
        # error takes the recovering second parse), an incomplete server.
        for name in ("valid", "syntax", "data", "no_corvane", "incomplete_server", "missing"):
            corvane_config._check_manifest(files[name])
        assert corvane_config._manifest_schema()

    read, add = "read_corvane_readers_config", "ReaderConfig.add_to_manifest_yaml"
    not_found = "File Not Found on path: {}".format
    return {
        "read": Operation(read_valid, 10_000, [read]),
        "read and use the result": Operation(read_and_use, 5_000, [
            read, "ReaderConfig.dict_without_optionals", "ReaderConfig.validate"]),
        "read a missing file": Operation(
            read_fails("missing", not_found(files["missing"])), 10_000, [read]),
        "read a directory": Operation(
            read_fails("directory", not_found(files["directory"])), 5_000, [read]),
        "read invalid UTF-8": Operation(
            read_fails("not_utf8", not_found(files["not_utf8"])), 5_000, [read]),
        "read a syntax error": Operation(read_fails("syntax", SYNTAX_ERROR), 5_000, [read]),
        "read a data error": Operation(read_fails(
            "data", PREFIX + 'corvane.readers_config.r1.max_batch_size: invalid type: '
            'string "eight", expected u64 at line 22 column 23'), 5_000, [read]),
        "read without corvane": Operation(read_fails(
            "no_corvane", PREFIX + "No corvane key found in manifest"), 5_000, [read]),
        "read an unknown reader": Operation(read_fails(
            "valid", "Invalid Value: No reader with id r9 found in manifest.yaml", "r9"),
            10_000, [read]),
        "add": Operation(add_valid, 1_000, [add]),
        "edit keeping the layout": Operation(edit_keeping_layout, 500, [
            add, "read_corvane_readers", "remove_corvane_readers_config"], 4),
        "add to a missing file": Operation(
            add_fails("missing", not_found(files["missing"])), 5_000, [add]),
        "add to a directory": Operation(
            add_fails("directory", not_found(files["directory"])), 4_000, [add]),
        "add to a syntax error": Operation(add_fails("syntax", SYNTAX_ERROR), 5_000, [add]),
        "add to an incomplete server": Operation(add_fails(
            "incomplete_server", PREFIX + "corvane.server_config: missing field `port` "
            "at line 3 column 5"), 5_000, [add]),
        "add without corvane": Operation(add_fails(
            "no_corvane", PREFIX + "No corvane key found in manifest"), 1_000, [add]),
        "AppConfig refused": Operation(lambda: raises(TypeError, AppConfig), 5_000, ["AppConfig"]),
        "copy and deepcopy": Operation(copies, 7_500, [
            "ReaderConfig.__copy__", "ReaderConfig.__deepcopy__"]),
        "pickling": Operation(pickling, 6_500, [
            "ReaderConfig.__reduce__", "_reader_config_from_state", "ReaderConfig.__eq__"]),
        "pickling with instance attributes": Operation(
            pickling_with_instance_attributes, 6_500, ["ReaderConfig.__reduce__"]),
        "malformed pickling states": Operation(
            malformed_states, 20_000, ["_reader_config_from_state"], 4),
        "fast path probes": Operation(
            fast_path_probes, 20_000, ["_yaml_fast_path", "_yaml_events"], 6),
        "replace": Operation(replace, 100_000, ["ReaderConfig.__replace__"]),
        "replace failing": Operation(replace_failing, 20_000, ["ReaderConfig.__replace__"], 4),
        "repr, comparisons and hash": Operation(repr_comparison_and_hash, 12_500, [
            "ReaderConfig.__repr__", "ReaderConfig.__hash__", *(
                f"ReaderConfig.__{name}__" for name in ("eq", "ne", "lt", "le", "gt", "ge"))], 8),
        "path-like arguments": Operation(path_like_arguments, 3_000, [read, add], 3),
        "construct": Operation(construct, 100_000, ["ReaderConfig"]),
        "construct failing": Operation(construct_failing, 20_000, ["ReaderConfig"], 5),
        "construct with instance attributes": Operation(
            construct_with_instance_attributes, 100_000, ["ReaderConfig"]),
        "dict_without_optionals": Operation(
            VALID.dict_without_optionals, 100_000, ["ReaderConfig.dict_without_optionals"]),
        "validate passing": Operation(VALID.validate, 100_000, ["ReaderConfig.validate"]),
        "validate failing": Operation(
            lambda: raises(Exception, INVALID.validate), 100_000, ["ReaderConfig.validate"]),
        "read every property": Operation(
            read_properties, 5_000, [f"ReaderConfig.{name}" for name in PROPERTIES],
            len(PROPERTIES)),
        "argument errors": Operation(argument_errors, 20_000, [read, add], 5),
        "check whole manifests": Operation(
            check_manifests, 1_000, ["_check_manifest", "_manifest_schema"], 7),
    }


OPERATION_NAMES = list(operations(collections.defaultdict(str)))


def entry_points():
    """What Python can call on the module: its functions and classes (public
    and private), and each method, slot and property the ReaderConfig type
    defines."""
    points = set(corvane_config.__all__) | {
        name for name, value in vars(corvane_config).items()
        if name.startswith("_") and type(value).__name__ == "builtin_function_or_method"}
    for name, value in vars(ReaderConfig).items():
        kind = type(value).__name__
        if kind == "getset_descriptor" and name != "__dict__" or kind in (
                "method_descriptor", "wrapper_descriptor", "classmethod_descriptor"):
            points.add(f"ReaderConfig.{name}")
    return points


def test_every_entry_point_of_the_module_is_measured():
    covered = set().union(*(operation.covers for operation in operations(collections.defaultdict(str)).values()))
    assert sorted(entry_points() - covered) == []
    assert sorted(covered - entry_points()) == []


@pytest.mark.parametrize("name", OPERATION_NAMES)
def test_memory_stays_flat(files, name):
    operation = operations(files)[name]
    rounds = operation.rounds // 10 if UNDER_SANITIZER else operation.rounds
    calls = rounds * operation.calls_per_round
    tracemalloc.start()
    try:
        for _ in range(WARM_UP):
            operation.call()
        settle()
        traced_before = tracemalloc.get_traced_memory()[0]
        heap_before = HEAP_IN_USE() if HEAP_IN_USE else 0
        rss_before = resident_bytes()
        for _ in range(rounds):
            operation.call()
        settle()
        traced_after = tracemalloc.get_traced_memory()[0]
        heap_after = HEAP_IN_USE() if HEAP_IN_USE else 0
        rss_after = resident_bytes()
    finally:
        tracemalloc.stop()
    if os.environ.get("CORVANE_MEMORY_REPORT"):
        print(f"\n{name}: {calls} calls, traced {traced_after - traced_before:+d} B, "
              f"heap {heap_after - heap_before:+d} B, rss {rss_after - rss_before:+d} B")
    assert traced_after - traced_before < TRACED_TOLERANCE + TRACED_PER_CALL * calls
    if HEAP_IN_USE:
        assert heap_after - heap_before < HEAP_TOLERANCE + HEAP_PER_CALL * calls
    if not UNDER_SANITIZER:
        assert rss_after - rss_before < RSS_TOLERANCE
