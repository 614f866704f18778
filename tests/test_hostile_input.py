"""Hostile manifests, paths and arguments: each gets its exact documented
outcome, in bounded time and memory, and nothing crashes the interpreter.

Alias expansion is bounded by the repetition limit: every alias the records
follow counts one expansion, and more than 100 expansions per parse event of
the document (scalars, aliases, collection starts and ends) fail the read, as
do more than 2,097,152 + 4 per parse event replayed events (each expansion
counting every event of the node it names).
Aliases inside values that no record reads (unknown keys) are skipped, not
expanded. Collections nest at most 128 deep (the root is level 1), also in
values no record reads: the parse stops at a collection on level 129 with
"recursion limit exceeded" at its position, unless reading met an error
before it.
"""

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import corvane_config
from corvane_config import ReaderConfig, read_corvane_readers_config
from manifests import SERVER_CONFIG, SERVER_SETTINGS, fast_path_on
from write_support import STALL_LIMIT, Ticker, interrupted_on_the_main_thread

SERIALIZING = "Error Error Serializing/Deserializing:: "
SERVER = SERVER_SETTINGS
SERVER_FLOW = "{" + ", ".join(SERVER.strip().splitlines()) + "}"
SERVER_BLOCK = SERVER_CONFIG
HEAD = "corvane:\n" + SERVER_BLOCK + "  readers_config:\n"
R1 = "    r1:\n      model_name: m\n      device: cpu\n      consumer_group: g\n"
VALID = HEAD + R1
R1_SETTINGS = {"model_name": "m", "device": "cpu", "consumer_group": "g"}
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")


def write(tmp_path: pathlib.Path, content, name="manifest.yaml") -> pathlib.Path:
    path = tmp_path / name
    path.write_bytes(content.encode("utf-8") if isinstance(content, str) else content)
    return path


def read_error(path, reader_id="r1") -> str:
    with pytest.raises(Exception) as caught:
        read_corvane_readers_config(str(path), reader_id)
    assert type(caught.value) is Exception
    (message,) = caught.value.args
    return message


def add_error(path, reader_id="new") -> str:
    """The message of a failing add_to_manifest_yaml, which must leave the file as it was."""
    before = pathlib.Path(path).read_bytes() if os.path.isfile(path) else None
    with pytest.raises(Exception) as caught:
        ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(path), reader_id)
    assert type(caught.value) is Exception
    if before is not None:
        assert pathlib.Path(path).read_bytes() == before
    (message,) = caught.value.args
    return message


def settings(reader) -> dict:
    return reader.dict_without_optionals()


# --- alias bombs ---------------------------------------------------------------

READERS_PER_TABLE = 100


def alias_bomb(sections: int, padding: int):
    """A manifest whose extra top-level sections all alias one shared section
    whose readers table aliases one reader READERS_PER_TABLE times, whose
    settings alias one scalar. Returns (text, events, expansions).

    Events: 55 fixed + 2 per reader entry, per aliasing section and per
    padding entry (key and value). Expansions: the corvane section follows
    its server and its table (1 + 1 + 4 per reader: the reader and its three
    settings); every other section adds one more for itself and its server."""
    k = READERS_PER_TABLE
    lines = [
        "corvane:",
        "  defs:",
        "    - &v x",
        "    - &r {model_name: *v, device: *v, consumer_group: *v}",
        "    - &R {" + ", ".join(f"r{i}: *r" for i in range(1, k + 1)) + "}",
        "    - &SV " + SERVER_FLOW,
        "    - &S {server_config: *SV, readers_config: *R}",
        "  server_config: *SV",
        "  readers_config: *R",
    ]
    lines += [f"  pad{i}: 0" for i in range(padding)]
    lines += [f"s{i}: *S" for i in range(sections)]
    events = 55 + 2 * k + 2 * sections + 2 * padding
    expansions = 2 + 4 * k + sections * (3 + 4 * k)
    return "\n".join(lines) + "\n", events, expansions


@pytest.mark.parametrize(
    "sections, padding, over",
    [
        (166, 43, 0),  # exactly at the limit: allowed
        (166, 42, 200),  # one padding entry fewer
        (233, 111, 1),  # one expansion past the limit
        (233, 112, -199),
    ],
)
def test_alias_bomb_at_the_repetition_limit(tmp_path, sections, padding, over):
    text, events, expansions = alias_bomb(sections, padding)
    assert expansions - 100 * events == over
    path = write(tmp_path, text)
    if over > 0:
        assert read_error(path) == SERIALIZING + "repetition limit exceeded"
        assert add_error(path) == SERIALIZING + "repetition limit exceeded"
        return
    shared = {"model_name": "x", "device": "x", "consumer_group": "x"}
    assert settings(read_corvane_readers_config(str(path), "r1")) == shared
    assert settings(read_corvane_readers_config(str(path), "r100")) == shared
    ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(path), "new")
    written = path.read_text(encoding="utf-8")
    assert written.startswith("corvane:\n") and "\ns0:" not in written and "&" not in written
    assert settings(read_corvane_readers_config(str(path), "r100")) == shared
    assert read_corvane_readers_config(str(path), "new").model_name == "n"


def test_aliases_in_unknown_keys_are_not_expanded(tmp_path):
    big = "{" + ", ".join(f"k{i}: {i}" for i in range(10_000)) + "}"
    text = (
        "corvane:\n"
        f"  big: &b {big}\n"
        "  junk: [" + ", ".join(["*b"] * 100_000) + "]\n"
        + SERVER_BLOCK
        + "  readers_config:\n"
        "    r1: {model_name: m, device: cpu, consumer_group: g, more: [" + ", ".join(["*b"] * 1000) + "]}\n"
    )
    path = write(tmp_path, text)
    assert settings(read_corvane_readers_config(str(path), "r1")) == R1_SETTINGS


def test_alias_to_an_enclosing_node_does_not_loop(tmp_path):
    # A reader that holds an alias to itself under an unknown key, and a
    # readers table whose reader is the table itself: no loop either way.
    path = write(tmp_path, HEAD + "    r1: &a {model_name: m, device: cpu, consumer_group: g, self: *a}\n")
    assert settings(read_corvane_readers_config(str(path), "r1")) == R1_SETTINGS
    path = write(tmp_path, "corvane:\n" + SERVER_BLOCK + "  readers_config: &rc {r1: *rc}\n")
    assert read_error(path) == (
        SERIALIZING + "corvane.readers_config.r1: missing field `model_name` at line 15 column 19")


def test_alias_to_an_anchor_defined_later_is_unknown(tmp_path):
    path = write(tmp_path, HEAD + "    r1: *later\n    r2: &later {model_name: m, device: cpu, consumer_group: g}\n")
    assert read_error(path) == SERIALIZING + "unknown anchor at line 16 column 9"
    assert add_error(path) == SERIALIZING + "unknown anchor at line 16 column 9"


# --- nesting -------------------------------------------------------------------


def nested_sequence(levels):
    return "[" * levels + "]" * levels


def nested_mapping(levels):
    return "{a: " * levels + "b" + "}" * levels


@pytest.mark.parametrize("levels", [127, 128, 129])
def test_deep_nesting_where_a_record_reads_it_is_a_type_error(tmp_path, levels):
    cases = [
        ("x: " + nested_sequence(levels) + "\n" + VALID,
         "x: invalid type: sequence, expected struct OptionManifestConfig at line 1 column 4",
         "x: invalid type: sequence, expected struct ManifestConfig at line 1 column 4"),
        (HEAD + "    ? " + nested_sequence(levels) + "\n    : v\n" + R1,
         "corvane.readers_config: invalid type: sequence, expected a string at line 16 column 7",
         None),
        (HEAD + "    r1:\n      model_name: " + nested_mapping(levels) + "\n      device: cpu\n"
         "      consumer_group: g\n",
         "corvane.readers_config.r1.model_name: invalid type: map, expected a string at line 17 column 19",
         None),
    ]
    for text, lookup, rewrite in cases:
        path = write(tmp_path, text)
        assert read_error(path) == SERIALIZING + lookup
        assert add_error(path) == SERIALIZING + (rewrite or lookup)


# The reader r1 is a mapping on level 4, so its unknown key's value starts on
# level 5: 124 nested collections reach level 128, the 125th is one too many.
JUNK = HEAD + "    r1:\n      junk: {}\n      model_name: m\n      device: cpu\n      consumer_group: g\n"


@pytest.mark.parametrize("nest", [nested_mapping, nested_sequence])
def test_nesting_up_to_the_limit_is_skipped(tmp_path, nest):
    path = write(tmp_path, JUNK.format(nest(124)))
    assert settings(read_corvane_readers_config(str(path), "r1")) == R1_SETTINGS


def nested_block_mapping(levels):
    """Block mappings one space deeper each, under the key "junk"."""
    return "".join(f"\n{' ' * (8 + level)}a:" for level in range(levels)) + " b"


@pytest.mark.parametrize("aliases", [False, True], ids=["streamed", "stored"])
@pytest.mark.parametrize("nest, levels, where", [
    (nested_mapping, 125, (17, 13 + 4 * 124)),
    (nested_mapping, 129, (17, 13 + 4 * 124)),
    (nested_sequence, 125, (17, 13 + 124)),
    (nested_sequence, 200_000, (17, 13 + 124)),
    # The fast path reads block mappings: it counts them as libyaml's do.
    (nested_block_mapping, 129, (17 + 125, 9 + 124)),
])
def test_nesting_past_the_limit_stops_at_the_collection(tmp_path, nest, levels, where, aliases):
    text = JUNK.format(nest(levels))
    if aliases:  # a document that may hold aliases is kept whole before it is read
        text = text.replace("model_name: m", "model_name: &m m") + "    r2: {model_name: *m, device: cpu, consumer_group: g}\n"
    elif nest is nested_block_mapping:
        assert corvane_config._yaml_fast_path(text) == fast_path_on()
    path = write(tmp_path, text)
    message = SERIALIZING + "recursion limit exceeded at line {} column {}".format(*where)
    assert read_error(path) == message
    assert add_error(path) == message


def test_block_nesting_past_the_limit(tmp_path):
    # Block sequences ("- - - x") nest one level per two characters.
    deep = "\n      " + "- " * 100_000
    path = write(tmp_path, HEAD + "    r1:\n      junk:" + deep + "x\n"
                 "      model_name: m\n      device: cpu\n      consumer_group: g\n")
    message = SERIALIZING + f"recursion limit exceeded at line 18 column {7 + 2 * 124}"
    assert read_error(path) == message
    assert add_error(path) == message
    # Where a record reads the deep value, its type error comes first.
    path = write(tmp_path, VALID + "other:" + deep + "{a: b}\n")
    message = "other: invalid type: sequence, expected struct {}ManifestConfig at line 21 column 7"
    assert read_error(path) == SERIALIZING + message.format("Option")
    assert add_error(path) == SERIALIZING + message.format("")


def test_errors_before_the_deep_value_win(tmp_path):
    path = write(tmp_path, JUNK.format(nested_sequence(1000)).replace(
        "    r1:\n", "    r1:\n      max_batch_size: many\n"))
    assert read_error(path) == SERIALIZING + (
        "corvane.readers_config.r1.max_batch_size: invalid type: string \"many\", expected u64"
        " at line 17 column 23")


# --- size ----------------------------------------------------------------------

LONGEST_TEXT = 2**31 - 1


@pytest.mark.parametrize("size", [LONGEST_TEXT + 1, 3 * 2**30])
def test_file_past_the_longest_text_is_refused_unread(tmp_path, size):
    path = tmp_path / "manifest.yaml"
    with open(path, "wb") as out:  # sparse: the size costs neither disk nor memory
        out.write(VALID.encode())
        out.truncate(size)
    before = os.stat(path)
    assert read_error(path) == SERIALIZING + "document too large"
    with pytest.raises(Exception) as caught:
        ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(path), "new")
    assert caught.value.args == (SERIALIZING + "document too large",)
    after = os.stat(path)
    assert (after.st_ino, after.st_size, after.st_mtime_ns) == (
        before.st_ino, before.st_size, before.st_mtime_ns)

BIG_SCALAR = 100 * 1024 * 1024
# Peak resident memory of a process that reads the 100 MB scalar: the file's
# text, the parser's copy, the record's text and the Python str each hold it
# once; allow six copies.
BIG_SCALAR_PEAK = 6 * BIG_SCALAR


def test_hundred_megabyte_scalar(tmp_path):
    path = tmp_path / "manifest.yaml"
    with open(path, "wb") as out:
        out.write((HEAD + "    r1:\n      model_name: ").encode())
        chunk = b"a" * (1 << 20)
        for _ in range(BIG_SCALAR // len(chunk)):
            out.write(chunk)
        out.write(b"\n      device: cpu\n      consumer_group: g\n")
    code = textwrap.dedent("""\
        import json, resource, sys
        from corvane_config import read_corvane_readers_config
        reader = read_corvane_readers_config(sys.argv[1], "r1")
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        name = reader.model_name
        print(json.dumps({"peak": peak, "length": len(name), "all_a": name.count("a") == len(name),
                          "device": reader.device}))
    """)
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True,
                          timeout=300)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert seen["length"] == BIG_SCALAR and seen["all_a"] and seen["device"] == "cpu"
    if not UNDER_SANITIZER:  # the sanitizer's allocator keeps freed memory back
        assert seen["peak"] < BIG_SCALAR_PEAK


def test_million_keys_in_an_unknown_mapping(tmp_path):
    keys = "".join(f"    k{i}: {i}\n" for i in range(1_000_000))
    path = write(tmp_path, "corvane:\n  junk:\n" + keys + SERVER_BLOCK + "  readers_config:\n" + R1)
    assert settings(read_corvane_readers_config(str(path), "r1")) == R1_SETTINGS
    ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(path), "new")
    rewritten = path.read_text(encoding="utf-8")
    assert "junk" not in rewritten and len(rewritten) < 2000


# Texts under 1 MB whose parts multiply: none may make a read take more than
# 64 MiB of extra peak memory or 1 s, whether its events are read as parsed
# or kept (any "*" in the text keeps them, here a "*" in a comment).
BOUNDED_PEAK = 64 * 2**20
BOUNDED_SECONDS = 1.0
BOUNDED_PROBE = textwrap.dedent("""\
    import json, sys, time
    from corvane_config import read_corvane_readers_config
    def peak():
        with open("/proc/self/status") as status:
            return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM:"))
    baseline = peak()
    started = time.perf_counter()
    try:
        outcome = read_corvane_readers_config(sys.argv[1], "r1").dict_without_optionals()
    except Exception as error:
        outcome = str(error)
    seconds = time.perf_counter() - started
    print(json.dumps({"peak": peak() - baseline, "seconds": seconds, "outcome": outcome}))
""")
BOUNDED = {
    # A 300 kB tag prefix written into each of 60,000 tags under a skipped key.
    "tag prefix": "%TAG !e! tag:" + "x" * 300_000 + ":\n---\n" + VALID + "  junk:\n"
                  + "  - !e!a x\n" * 60_000,
    # 9,000 distinct anchor names of 100 bytes.
    "anchor names": VALID + "  junk:\n" + "".join(
        f"  - &{i:x}{'a' * 100} x\n" for i in range(9_000)),
    # A reader of 50,000 unknown keys aliased by 20,000 others (828 kB): its
    # 100,000 events replayed each time would take minutes.
    "large node aliased": HEAD + "    r1: &a {model_name: m, device: cpu, consumer_group: g, "
                          + ", ".join(f"k{i}: 0" for i in range(50_000)) + "}\n"
                          + "".join(f"    r{i}: *a\n" for i in range(2, 20_002)),
    # A reader of 480,000 null-valued keys (960 kB) aliased as often as the
    # bound on replayed events allows: the most a text under 1 MB replays.
    "dense node aliased": HEAD + "    r1: &a {model_name: m, device: cpu, consumer_group: g"
                          + ",a" * 480_000 + "}\n" + "".join(f"    r{i}: *a\n" for i in range(2, 8)),
    # 5,000 readers aliasing one block of 20 settings, 17 of them unknown keys.
    "shared settings": HEAD.replace("corvane:\n", "corvane:\n  shared: &s {model_name: m, device: cpu, "
                                    "consumer_group: g, " + ", ".join(f"x{i}: 1" for i in range(17)) + "}\n")
                       + "".join(f"    r{i}: *s\n" for i in range(1, 5_001)),
}
# The outcome where it is not r1's settings.
BOUNDED_ERRORS = {"large node aliased": SERIALIZING + "repetition limit exceeded"}


@pytest.mark.parametrize("star", ["", "# *\n"], ids=["streamed", "stored"])
@pytest.mark.parametrize("name", BOUNDED)
def test_read_in_bounded_memory_and_time(tmp_path, name, star):
    text = BOUNDED[name] + star
    if not star and "*" in text:
        pytest.skip("a text with an alias is always kept whole")
    assert len(text.encode()) < 2**20
    path = write(tmp_path, text)
    done = subprocess.run([sys.executable, "-c", BOUNDED_PROBE, str(path)], capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    assert seen["outcome"] == BOUNDED_ERRORS.get(name, R1_SETTINGS)
    assert seen["seconds"] < BOUNDED_SECONDS * (5 if UNDER_SANITIZER else 1)
    if not UNDER_SANITIZER:
        assert seen["peak"] < BOUNDED_PEAK


# --- bytes that are not UTF-8 ----------------------------------------------------

BAD_UTF8 = {
    "lone continuation byte": b"\x80",
    "overlong slash, two bytes": b"\xc0\xaf",
    "overlong slash, three bytes": b"\xe0\x80\xaf",
    "overlong slash, four bytes": b"\xf0\x80\x80\xaf",
    "overlong NUL": b"\xc0\x80",
    "encoded surrogate": b"\xed\xa0\x80",
    "above U+10FFFF": b"\xf4\x90\x80\x80",
    "byte F5": b"\xf5\x80\x80\x80",
    "byte FF": b"\xff",
    "truncated sequence": b"\xe2\x82",
    "UTF-16 byte-order mark": b"\xff\xfe",
}
PLACES = {
    "at the start": lambda bad: bad + VALID.encode(),
    "in a key": lambda bad: VALID.replace("r1:", "r1X:").encode().replace(b"X", bad),
    "in a value": lambda bad: VALID.replace("model_name: m", "model_name: mX").encode().replace(b"X", bad),
    "in a comment": lambda bad: VALID.replace("readers_config:", "readers_config: # X").encode().replace(b"X", bad),
    "at the end": lambda bad: VALID.encode() + bad,
}


@pytest.mark.parametrize("place", PLACES)
@pytest.mark.parametrize("bad", BAD_UTF8)
def test_invalid_utf8_is_an_unreadable_file(tmp_path, bad, place):
    path = write(tmp_path, PLACES[place](BAD_UTF8[bad]))
    assert read_error(path) == "File Not Found on path: " + str(path)
    assert add_error(path) == "File Not Found on path: " + str(path)


# --- byte-order marks, NUL and control characters, line ends -------------------


def test_byte_order_mark_at_the_start(tmp_path):
    path = write(tmp_path, "\ufeff" + VALID)
    assert settings(read_corvane_readers_config(str(path), "r1")) == R1_SETTINGS
    ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(path), "new")
    assert path.read_bytes().startswith(b"corvane:\n")  # written without a mark


def test_byte_order_marks_inside_the_text(tmp_path):
    # At the start of a line the parser skips one; inside a scalar it is text.
    text = "\ufeff\ufeff" + HEAD + "\ufeff" + R1.replace("model_name: m", "model_name: a\ufeffb")
    path = write(tmp_path, text)
    assert read_corvane_readers_config(str(path), "r1").model_name == "a\ufeffb"
    ReaderConfig(model_name="\ufeff", device="cpu").add_to_manifest_yaml(str(path), "new")
    assert read_corvane_readers_config(str(path), "r1").model_name == "a\ufeffb"
    assert read_corvane_readers_config(str(path), "new").model_name == "\ufeff"


def control_character_error(text: bytes, character: bytes) -> str:
    offset = text.index(character)
    return SERIALIZING + "control characters are not allowed" + (f" at position {offset}" if offset else "")


@pytest.mark.parametrize(
    "character",
    [b"\x00", b"\x01", b"\x08", b"\x0b", b"\x0c", b"\x1b", b"\x1f", b"\x7f", b"\xc2\x80", b"\xc2\x9f",
     "\ufffe".encode(), "\uffff".encode()],
)
@pytest.mark.parametrize("place", ["plain value", "quoted value", "comment", "start", "end", "after non-ASCII"])
def test_nul_and_control_characters_in_the_text(tmp_path, character, place):
    text = {
        "plain value": VALID.replace("model_name: m", "model_name: mX"),
        "quoted value": VALID.replace("model_name: m", "model_name: 'mX'"),
        "comment": VALID + "# X\n",
        "start": "X" + VALID,
        "end": VALID + "X",
        "after non-ASCII": VALID.replace("model_name: m", "model_name: ééX"),
    }[place].encode().replace(b"X", character)
    path = write(tmp_path, text)
    assert read_error(path) == control_character_error(text, character)
    assert add_error(path) == control_character_error(text, character)


def test_escaped_control_characters_are_text(tmp_path):
    value = '"\\0\\x01\\e\\t\\r\\x7f\\u0085\\u2028\\U0001F600"'
    path = write(tmp_path, VALID.replace("model_name: m", "model_name: " + value))
    expected = "\x00\x01\x1b\t\r\x7f\x85\u2028\U0001F600"
    assert read_corvane_readers_config(str(path), "r1").model_name == expected
    ReaderConfig(model_name=expected, device="cpu").add_to_manifest_yaml(str(path), "new\x00id")
    assert read_corvane_readers_config(str(path), "r1").model_name == expected
    assert read_corvane_readers_config(str(path), "new\x00id").model_name == expected


def test_tab_inside_a_plain_value_is_text(tmp_path):
    path = write(tmp_path, VALID.replace("model_name: m", "model_name: a\tb"))
    assert read_corvane_readers_config(str(path), "r1").model_name == "a\tb"


def test_next_line_character_is_a_line_break(tmp_path):
    path = write(tmp_path, VALID.replace("model_name: m", "model_name: a\x85b"))
    assert read_error(path) == SERIALIZING + (
        "could not find expected ':' at line 19 column 13, while scanning a simple key at line 18 column 1")


@pytest.mark.parametrize("line_end", ["\r\n", "\r"])
def test_crlf_and_cr_line_ends(tmp_path, line_end):
    lf_path = write(tmp_path, VALID, "lf.yaml")
    path = write(tmp_path, VALID.replace("\n", line_end))
    assert settings(read_corvane_readers_config(str(path), "r1")) == R1_SETTINGS
    for target in (lf_path, path):
        ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(target), "new")
    assert path.read_bytes() == lf_path.read_bytes()
    assert b"\r" not in path.read_bytes()


def test_crlf_inside_a_literal_block(tmp_path):
    text = HEAD + "    r1:\n      model_name: |\n        a\n        b\n      device: cpu\n      consumer_group: g\n"
    path = write(tmp_path, text.replace("\n", "\r\n"))
    assert read_corvane_readers_config(str(path), "r1").model_name == "a\nb\n"


# --- paths ---------------------------------------------------------------------


def test_path_with_a_nul_byte(tmp_path):
    path = write(tmp_path, VALID)
    with_nul = str(path) + "\x00.txt"
    assert read_error(with_nul) == "File Not Found on path: " + with_nul
    before = path.read_bytes()
    with pytest.raises(Exception) as caught:
        ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(with_nul, "new")
    assert caught.value.args == ("File Not Found on path: " + with_nul,)
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["manifest.yaml"]


def test_reader_id_with_a_nul_byte(tmp_path):
    path = write(tmp_path, VALID)
    assert read_error(path, "r1\x00") == "Invalid Value: No reader with id r1\x00 found in manifest.yaml"


def test_non_existent_directory(tmp_path):
    path = tmp_path / "missing" / "deeper" / "manifest.yaml"
    assert read_error(path) == "File Not Found on path: " + str(path)
    assert add_error(path) == "File Not Found on path: " + str(path)
    assert not (tmp_path / "missing").exists()


@pytest.mark.parametrize("suffix", ["", "/", "/."])
def test_directory_as_path(tmp_path, suffix):
    directory = tmp_path / "manifests"
    directory.mkdir()
    path = str(directory) + suffix
    assert read_error(path) == "File Not Found on path: " + path
    assert add_error(path) == "File Not Found on path: " + path
    assert directory.is_dir() and list(directory.iterdir()) == []


def test_file_used_as_a_directory(tmp_path):
    path = write(tmp_path, VALID)
    inside = str(path) + "/manifest.yaml"
    assert read_error(inside) == "File Not Found on path: " + inside
    assert add_error(inside) == "File Not Found on path: " + inside
    assert path.read_text(encoding="utf-8") == VALID


def test_empty_path(tmp_path):
    assert read_error("") == "File Not Found on path: "
    with pytest.raises(Exception) as caught:
        ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml("", "new")
    assert caught.value.args == ("File Not Found on path: ",)


# --- lone surrogates in arguments ----------------------------------------------


def surrogate_error(character: str) -> str:
    return f"'utf-8' codec can't encode character '\\u{ord(character):04x}' in position 0: surrogates not allowed"


def test_lone_surrogates_in_arguments(tmp_path):
    path = write(tmp_path, VALID)
    before = path.read_bytes()
    reader = ReaderConfig(model_name="n", device="cpu")
    # In a path, U+DC80..U+DCFF stand for bytes that are not UTF-8 and name a
    # file (tests/test_released_lock.py); the surrogates around them do not.
    calls = [
        (lambda: read_corvane_readers_config("\udc7f", "r1"), "\udc7f"),
        (lambda: read_corvane_readers_config(str(path), "\ud800"), "\ud800"),
        (lambda: read_corvane_readers_config(path="\udfff"), "\udfff"),
        (lambda: reader.add_to_manifest_yaml("\udd00", "r1"), "\udd00"),
        (lambda: reader.add_to_manifest_yaml(str(path), "\ud800"), "\ud800"),
        (lambda: ReaderConfig(model_name="\ud800"), "\ud800"),
        (lambda: ReaderConfig(model_name="m", device="cpu", log_level="\udfff"), "\udfff"),
    ]
    for call, character in calls:
        with pytest.raises(UnicodeEncodeError) as caught:
            call()
        assert str(caught.value) == surrogate_error(character)
    assert path.read_bytes() == before
    # A surrogate in an unknown keyword is never converted: the keyword is ignored.
    with pytest.raises(TypeError) as caught:
        ReaderConfig(**{"\ud800": 1})
    assert str(caught.value) == "model_name cannot be empty"


# --- found by fuzzing ----------------------------------------------------------


def test_null_tag_on_a_setting_that_is_not_null(tmp_path):
    # An optional setting refuses a !!null-tagged text that is no null word,
    # reported at the enclosing mapping; a required setting reads a plain
    # scalar by its text whatever its tag. So a server setting written this
    # way fails a lookup (all server settings optional) and passes a rewrite.
    path = write(tmp_path, VALID.replace("snowflake_port: 3004", "snowflake_port: !!null 3004"))
    assert read_error(path) == SERIALIZING + (
        'corvane.server_config: invalid value: string "3004", expected null at line 3 column 5')
    ReaderConfig(model_name="n", device="cpu").add_to_manifest_yaml(str(path), "new")
    assert "    snowflake_port: 3004\n" in path.read_text(encoding="utf-8")
    assert read_corvane_readers_config(str(path), "r1").model_name == "m"
    # Reader settings are optional in both forms.
    path = write(tmp_path, VALID.replace("consumer_group: g", "consumer_group: g\n      max_batch_size: !!null 8"))
    message = SERIALIZING + 'corvane.readers_config.r1: invalid value: string "8", expected null at line 17 column 7'
    assert read_error(path) == message
    assert add_error(path) == message
    path = write(tmp_path, VALID.replace("consumer_group: g", "consumer_group: g\n      max_batch_size: !!null null"))
    assert read_corvane_readers_config(str(path), "r1").max_batch_size is None


def test_named_pipe_without_writer_reads_as_empty(tmp_path):
    """Opening a pipe nobody writes to must not hold the interpreter."""
    pipe = tmp_path / "manifest.fifo"
    os.mkfifo(pipe)
    with pytest.raises(Exception) as caught:
        read_corvane_readers_config(str(pipe), "r1")
    assert caught.value.args == ("Error Error Serializing/Deserializing:: EOF while parsing a value",)


# Read-write: opens at once, reader or not, and keeps the pipe's write side open.
SILENT_WRITER = """
import os, sys, time
fd = os.open(sys.argv[1], os.O_RDWR)
os.write(1, b"x")
time.sleep(float(sys.argv[2]))
os.write(fd, sys.argv[3].encode())
"""


class SilentWriter:
    """Another process that holds `pipe` open for writing and says nothing;
    `after` seconds in (if given) it sends `text` and goes. Its own clock, so
    the moment does not depend on the interpreter lock of the test. Started
    as a program of its own, not forked: the test may have threads running."""

    def __init__(self, pipe, text="", after=None):
        self.pipe, self.text, self.after = pipe, text, after

    def __enter__(self):
        self.process = subprocess.Popen(
            [sys.executable, "-c", SILENT_WRITER, str(self.pipe),
             str(self.after if self.after is not None else 3600), self.text],
            stdout=subprocess.PIPE)
        assert self.process.stdout.read(1) == b"x"
        return self

    def __exit__(self, *exc):
        self.process.kill()
        self.process.wait()
        self.process.stdout.close()


def test_named_pipe_with_a_silent_writer_is_waited_for_without_the_interpreter(tmp_path):
    """The read waits for the writer, and other threads run meanwhile."""
    pipe = tmp_path / "manifest.fifo"
    os.mkfifo(pipe)
    with Ticker() as ticker, SilentWriter(pipe, VALID, after=0.5):
        started = time.monotonic()
        reader = read_corvane_readers_config(str(pipe), "r1")
        waited = time.monotonic() - started
    assert reader.dict_without_optionals() == R1_SETTINGS
    assert 0.3 < waited < 10
    assert ticker.longest_gap < STALL_LIMIT, \
        f"a 5 ms ticker stalled {ticker.longest_gap * 1e3:.0f} ms"


def test_ctrl_c_while_reading_a_silent_pipe(tmp_path):
    pipe = tmp_path / "manifest.fifo"
    os.mkfifo(pipe)
    # The writer goes after 3 s at the latest, so a read that cannot be
    # interrupted fails the test instead of hanging it.
    with SilentWriter(pipe, after=3):
        result = interrupted_on_the_main_thread(
            lambda: read_corvane_readers_config(str(pipe), "r1"))
    assert result["outcome"] == "KeyboardInterrupt: "
    assert result["after_signal"] < 0.2
