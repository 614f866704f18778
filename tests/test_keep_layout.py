"""Edits that keep a manifest's layout (add_to_manifest_yaml(keep_layout=True),
remove_corvane_readers_config, read_corvane_readers): one table of manifest
shapes and operations, one invariant for every row.

Each row names the lines that change and how: "-old line" and "+new line" in
file order, line breaks left out. The invariant: every reader reads back as
the operation asks (read_corvane_readers, in file order), exactly the listed
lines change (so every other byte, other sections included, stays), and the
byte-order mark, the line breaks and a missing final newline are kept. A
refusal leaves the file byte for byte as it was."""

import difflib

import pytest

import corvane_config
from corvane_config import ReaderConfig
from manifests import SERVER_CONFIG

SERIALIZING = "Error Error Serializing/Deserializing:: "
CANNOT = SERIALIZING + "cannot keep the layout: "

SERVER_FLOW = (
    "  server_config: {echo: false, port: 1, enable_metrics: true, heartbeat_check_interval: 1,"
    " management_port: 2, vertex_port: 3, openai_port: 4, snowflake_port: 5, internal_port: 6,"
    " repository_path: /x, body_size_limit_bytes: 7, allow_remote_images: false}\n")

COMMENTED = f"""\
# The deployment: reviewed as a diff.
corvane:
{SERVER_CONFIG}  readers_config:   # one per worker
    # the main reader
    reader-a:
      device: cuda   # main GPU
      model_name: 'example-model'
      consumer_group: primary
      max_batch_size: 8  # tuned

      unknown_key: keep me
    reader-b:
      model_name: "second"
      device: cpu
      consumer_group: g
      log_level: info
# staging, not read but kept
corvane-staging:
{SERVER_FLOW}  readers_config: {{}}
"""

FOUR_SPACES = """\
corvane:
    server_config:
""" + "".join("        " + line + "\n" for line in SERVER_CONFIG.splitlines()[1:]) + """\
    readers_config:
        r1:
            model_name: m
            device: cpu
            consumer_group: g
"""

FLOW_READERS = f"""\
corvane:
{SERVER_CONFIG}  readers_config:
    r1: {{model_name: x, device: cpu, consumer_group: g, log_level: info}}  # flow
"""

FLOW_TABLE = f"""\
corvane:
{SERVER_CONFIG}  readers_config: {{r1: {{model_name: x, device: cpu, consumer_group: g}}}}
"""

ANCHORED = f"""\
corvane:
{SERVER_CONFIG}  readers_config:
    r1: &base
      model_name: m
      device: cpu
      consumer_group: g
    r2: *base
"""

REPEATED = f"""\
corvane:
{SERVER_CONFIG}  readers_config:
    r1:
      model_name: first
      device: cpu
      consumer_group: g
    r1:
      model_name: second
      device: cpu
      consumer_group: g
"""

EMPTY_TABLE = f"""\
corvane:
{SERVER_CONFIG}  readers_config:  # none yet
"""

MARKED = f"""\
%YAML 1.1
---
corvane:
{SERVER_CONFIG}  readers_config:
    r1:
      model_name: m
      device: cpu
      consumer_group: g
...
"""

SCALAR_ALIAS = f"""\
corvane:
{SERVER_CONFIG}  readers_config:
    r1:
      model_name: &shared m
      device: cpu
      consumer_group: g
    r2:
      model_name: *shared
      device: cpu
      consumer_group: g
"""

TABLE_ALIAS = f"""\
corvane-staging:
{SERVER_CONFIG}  readers_config: &table
    r1:
      model_name: m
      device: cpu
      consumer_group: g
corvane:
{SERVER_CONFIG}  readers_config: *table
"""

NEW = {"model_name": "n", "device": "cpu", "max_batch_size": 4}


def new_lines(indent, step=2):
    pad, inner = " " * indent, " " * (indent + step)
    return [f"+{pad}zz:", f"+{inner}model_name: n", f"+{inner}device: cpu",
            f"+{inner}consumer_group: ''", f"+{inner}max_batch_size: 4"]


# (name, text, operation, changed lines or the refusal's message)
# operation: ("set", id, changes) replaces settings of a stored reader,
# ("new", id, keywords) adds a reader, ("remove", id).
ROWS = [
    ("one value in place, comment kept", COMMENTED, ("set", "reader-a", {"max_batch_size": 32}),
     ["-      max_batch_size: 8  # tuned", "+      max_batch_size: 32  # tuned"]),
    ("equal reader: nothing changes", COMMENTED, ("set", "reader-a", {}), []),
    ("quoting kept where it reads back", COMMENTED,
     ("set", "reader-b", {"model_name": "third", "consumer_group": "123"}),
     ["-      model_name: \"second\"", "+      model_name: \"third\"",
      "-      consumer_group: g", "+      consumer_group: '123'"]),
    ("unset loses its line, new ones in declaration order", COMMENTED,
     ("set", "reader-a", {"max_batch_size": None, "redis_host": "h", "page_cache_size": "1G"}),
     ["-      max_batch_size: 8  # tuned", "+      redis_host: h",
      "+      page_cache_size: 1G"]),
    ("a line break in a value: a literal block", COMMENTED,
     ("set", "reader-b", {"log_level": "a\nb"}),
     ["-      log_level: info", "+      log_level: |-", "+        a", "+        b"]),
    ("new reader after the last", COMMENTED, ("new", "zz", NEW), new_lines(4)),
    ("remove a reader: its lines only", COMMENTED, ("remove", "reader-a"),
     ["-    reader-a:", "-      device: cuda   # main GPU", "-      model_name: 'example-model'",
      "-      consumer_group: primary", "-      max_batch_size: 8  # tuned", "-",
      "-      unknown_key: keep me"]),
    ("four spaces: a new reader like its siblings", FOUR_SPACES, ("new", "zz", NEW),
     new_lines(8, 4)),
    ("CRLF", COMMENTED.replace("\n", "\r\n"), ("set", "reader-a", {"backend": "vllm"}),
     ["+      backend: vllm"]),
    ("byte-order mark", "\ufeff" + COMMENTED, ("new", "zz", NEW), new_lines(4)),
    ("no final newline", FOUR_SPACES.rstrip("\n"), ("new", "zz", NEW),
     new_lines(8, 4)),
    ("document markers", MARKED, ("remove", "r1"),
     ["-  readers_config:", "+  readers_config: {}", "-    r1:", "-      model_name: m",
      "-      device: cpu", "-      consumer_group: g"]),
    ("empty table", EMPTY_TABLE, ("new", "zz", NEW), new_lines(4)),
    ("repeated id: the last entry", REPEATED, ("set", "r1", {"model_name": "third"}),
     ["-      model_name: second", "+      model_name: third"]),
    ("repeated id: every entry removed", REPEATED, ("remove", "r1"),
     ["-  readers_config:", "+  readers_config: {}", "-    r1:", "-      model_name: first",
      "-      device: cpu", "-      consumer_group: g", "-    r1:", "-      model_name: second",
      "-      device: cpu", "-      consumer_group: g"]),
    ("flow reader edited in flow syntax", FLOW_READERS,
     ("set", "r1", {"log_level": None, "tensor_parallel": 2, "model_name": "a, b"}),
     ["-    r1: {model_name: x, device: cpu, consumer_group: g, log_level: info}  # flow",
      "+    r1: {model_name: 'a, b', device: cpu, consumer_group: g, tensor_parallel: 2}  # flow"]),
    ("new reader like a flow sibling", FLOW_READERS, ("new", "zz", NEW),
     ["+    zz: {model_name: n, device: cpu, consumer_group: '', max_batch_size: 4}"]),
    ("flow table", FLOW_TABLE, ("new", "zz", NEW),
     ["-  readers_config: {r1: {model_name: x, device: cpu, consumer_group: g}}",
      "+  readers_config: {r1: {model_name: x, device: cpu, consumer_group: g}, "
      "zz: {model_name: n, device: cpu, consumer_group: '', max_batch_size: 4}}"]),
    ("flow table: the last reader removed", FLOW_TABLE, ("remove", "r1"),
     ["-  readers_config: {r1: {model_name: x, device: cpu, consumer_group: g}}",
      "+  readers_config: {}"]),
    ("anchored reader: its alias gets its own copy", ANCHORED, ("set", "r1", {"device": "cuda"}),
     ["+      device: cuda", "+      consumer_group: g", "+    r2:", "+      model_name: m",
      "-    r2: *base"]),
    ("an alias as the reader: written out", ANCHORED, ("set", "r2", {"device": "cuda"}),
     ["-    r2: *base", "+    r2:", "+      model_name: m", "+      device: cuda",
      "+      consumer_group: g"]),
    ("refused: an alias names the edited value", SCALAR_ALIAS, ("set", "r1", {"model_name": "x"}),
     CANNOT + "the alias *shared at line 21 column 19 names a node this change edits"),
    ("refused: the readers table is an alias", TABLE_ALIAS, ("new", "zz", NEW),
     CANNOT + "the readers table is an alias"),
    ("missing reader", COMMENTED, ("remove", "zz"),
     "Invalid Value: No reader with id zz found in manifest.yaml"),
]


def apply(path, operation, expected):
    kind, reader_id = operation[0], operation[1]
    if kind == "remove":
        expected.pop(reader_id, None)
        return corvane_config.remove_corvane_readers_config(path, reader_id)
    if kind == "set":
        reader = expected[reader_id].__replace__(**operation[2])
    else:
        reader = ReaderConfig(**operation[2])
    expected[reader_id] = reader
    return reader.add_to_manifest_yaml(path, reader_id, keep_layout=True)


def changed_lines(before, after):
    diff = difflib.ndiff(before.splitlines(), after.splitlines())
    return [line[0] + line[2:] for line in diff if line[0] in "+-"]


@pytest.mark.parametrize("name, text, operation, outcome", ROWS, ids=[row[0] for row in ROWS])
def test_edit_changes_only_its_lines(tmp_path, name, text, operation, outcome):
    path = tmp_path / "manifest.yaml"
    path.write_bytes(text.encode())
    expected = corvane_config.read_corvane_readers(path)
    if isinstance(outcome, str):
        with pytest.raises(Exception) as raised:
            apply(path, operation, expected)
        assert str(raised.value) == outcome
        assert path.read_bytes() == text.encode()
        return
    assert apply(path, operation, expected) is None
    after = path.read_bytes().decode()
    got = corvane_config.read_corvane_readers(path)
    assert list(got.items()) == list(expected.items())
    assert changed_lines(text, after) == outcome
    assert after.startswith("\ufeff") == text.startswith("\ufeff")
    assert after.endswith("\n") == text.endswith("\n")
    assert after.count("\r\n") == (after.count("\n") if "\r\n" in text else 0)
    # The layout-keeping text reads as the rewrite's would.
    rewritten = tmp_path / "rewritten.yaml"
    rewritten.write_bytes(text.encode())
    if operation[0] != "remove":
        expected[operation[1]].add_to_manifest_yaml(rewritten, operation[1])
        assert corvane_config.read_corvane_readers(rewritten) == got
