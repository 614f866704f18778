"""ReaderConfig.add_to_manifest_yaml: the rewritten text, the failure rows and
what each leaves on disk, and the safety of the atomic replace."""

import ctypes
import os
import pathlib
import shutil
import signal
import stat
import tempfile
import time

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config
from manifests import SERVER_CONFIG
from write_support import STALL_LIMIT, Ticker, take_writers_lock

SERIALIZING = "Error Error Serializing/Deserializing:: "

SERVER = SERVER_CONFIG

EXAMPLE = (
    "corvane:\n"
    + SERVER
    + """\
  readers_config:
    reader-a:
      model_name: example-model
      device: cuda
      consumer_group: primary
      max_batch_size: 8
"""
)

UNSET_AFTER_GROUP = """\
      redis_host: null
      internal_gateway_ip: null
      access_token: null
      log_level: null
      backend: null
      cuda_visible_devices: null
      max_batch_size: {max_batch_size}
      batch_duration_millis: null
      tensor_parallel: null
      quant_type: null
      max_sequence_length: null
      nvlink_unavailable: null
      disable_static: null
      disable_cuda_graph: null
      cuda_graph_cache_capacity: null
      disable_paged_attention: null
      page_cache_size: null
"""


def written_reader(reader_id, model, device, group, max_batch_size="null"):
    return (
        f"    {reader_id}:\n"
        f"      model_name: {model}\n"
        f"      device: {device}\n"
        f"      consumer_group: {group}\n"
    ) + UNSET_AFTER_GROUP.format(max_batch_size=max_batch_size)


READER_A = written_reader("reader-a", "example-model", "cuda", "primary", 8)
READER_B = written_reader("reader-b", "example-model-2", "cpu", "secondary")

# The worked example of the manifest format: the example manifest after
# reader-b was added.
EXAMPLE_WITH_B = "corvane:\n" + SERVER + "  readers_config:\n" + READER_A + READER_B

def reader_b():
    return ReaderConfig(model_name="example-model-2", device="cpu", consumer_group="secondary")


def write(path, text):
    path.write_bytes(text.encode())
    return path


def snapshot(directory):
    return sorted(os.listdir(directory))


# --- the rewritten text ------------------------------------------------------


@pytest.mark.aarch64_smoke
def test_worked_example_byte_for_byte(tmp_path):
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    assert reader_b().add_to_manifest_yaml(str(path), "reader-b") is None
    assert path.read_text() == EXAMPLE_WITH_B
    assert snapshot(tmp_path) == ["manifest.yaml"]


def test_new_reader_goes_last_and_replacement_keeps_place(tmp_path):
    path = write(tmp_path / "manifest.yaml", EXAMPLE_WITH_B)
    ReaderConfig(model_name="z", device="cpu").add_to_manifest_yaml(str(path), "reader-0")
    ReaderConfig(model_name="replaced", device="cuda", max_batch_size=3).add_to_manifest_yaml(
        str(path), "reader-a"
    )
    expected = (
        "corvane:\n"
        + SERVER
        + "  readers_config:\n"
        + written_reader("reader-a", "replaced", "cuda", "''", 3)
        + READER_B
        + written_reader("reader-0", "z", "cpu", "''")
    )
    assert path.read_text() == expected


def test_keyword_arguments_reach_the_file(tmp_path):
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    reader = ReaderConfig(
        model_name="m",
        device="cuda",
        consumer_group="g",
        log_level="debug",
        cuda_visible_devices="0,1",
        max_batch_size=2**64 - 1,
        tensor_parallel=2,
        max_sequence_length=0,
    )
    reader.add_to_manifest_yaml(str(path), "r2")
    text = path.read_text()
    tail = text[text.index("    r2:\n") :]
    assert tail == (
        "    r2:\n"
        "      model_name: m\n"
        "      device: cuda\n"
        "      consumer_group: g\n"
        "      redis_host: null\n"
        "      internal_gateway_ip: null\n"
        "      access_token: null\n"
        "      log_level: debug\n"
        "      backend: null\n"
        "      cuda_visible_devices: 0,1\n"
        "      max_batch_size: 18446744073709551615\n"
        "      batch_duration_millis: null\n"
        "      tensor_parallel: 2\n"
        "      quant_type: null\n"
        "      max_sequence_length: 0\n"
        "      nvlink_unavailable: null\n"
        "      disable_static: null\n"
        "      disable_cuda_graph: null\n"
        "      cuda_graph_cache_capacity: null\n"
        "      disable_paged_attention: null\n"
        "      page_cache_size: null\n"
    )


def test_other_sections_keys_and_comments_are_dropped(tmp_path):
    text = (
        "# deployment manifest\n"
        "other:\n" + SERVER + "  readers_config: {}\n"
        "corvane:\n" + SERVER + "  extra_key: [1, 2]\n"
        "  readers_config:\n"
        "    reader-a:\n"
        "      model_name: example-model  # the model\n"
        "      device: cuda\n"
        "      unknown: {nested: true}\n"
        "      consumer_group: primary\n"
        "      max_batch_size: 0x8\n"
    )
    path = write(tmp_path / "manifest.yaml", text)
    reader_b().add_to_manifest_yaml(str(path), "reader-b")
    assert path.read_text() == EXAMPLE_WITH_B


def test_hexadecimal_port_comes_back_decimal(tmp_path):
    path = write(tmp_path / "manifest.yaml", EXAMPLE.replace("port: 3000", "port: 0xBB8"))
    reader_b().add_to_manifest_yaml(str(path), "reader-b")
    assert path.read_text() == EXAMPLE_WITH_B


def test_empty_readers_table_gets_its_first_reader(tmp_path):
    path = write(tmp_path / "manifest.yaml", "corvane:\n" + SERVER + "  readers_config:\n")
    reader_b().add_to_manifest_yaml(str(path), "reader-b")
    assert path.read_text() == "corvane:\n" + SERVER + "  readers_config:\n" + READER_B


def test_reader_that_fails_validation_is_stored_all_the_same(tmp_path):
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    reader = ReaderConfig(model_name="m", device="cpu", tensor_parallel=4)
    with pytest.raises(Exception, match="^Validation Errors: "):
        reader.validate()
    reader.add_to_manifest_yaml(str(path), "bad")
    assert read_corvane_readers_config(str(path), "bad").tensor_parallel == 4


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("8", "'8'"),
        ("0x1f", "'0x1f'"),
        ("007", "'007'"),
        ("-3", "'-3'"),
        ("1.5", "'1.5'"),
        ("-.inf", "'-.inf'"),
        (".NaN", "'.NaN'"),
        ("true", "'true'"),
        ("FALSE", "'FALSE'"),
        ("null", "'null'"),
        ("~", "'~'"),
        ("", "''"),
        ("yes", "yes"),
        ("1_000", "1_000"),
        ("plain text", "plain text"),
        ("a: b", "'a: b'"),
        ("#x", "'#x'"),
        ("ünïcødé ✓", "ünïcødé ✓"),
        ("tab\there", '"tab\\there"'),
        ("two\nlines", "|-\n        two\n        lines"),
        ("ends with break\n", "|\n        ends with break"),
    ],
)
def test_text_scalar_styles(tmp_path, text, expected):
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    ReaderConfig(model_name=text or "x", device="cpu", consumer_group=text).add_to_manifest_yaml(
        str(path), "r"
    )
    written = path.read_text()
    assert f"      consumer_group: {expected}\n      redis_host: null\n" in written
    assert read_corvane_readers_config(str(path), "r").consumer_group == text


@pytest.mark.parametrize(
    ("reader_id", "expected"),
    [
        ("123", "    '123':\n"),
        ("true", "    'true':\n"),
        ("0123", "    '0123':\n"),
        ("", "    '':\n"),
        ("two\nlines", "    ? |-\n      two\n      lines\n    : model_name: m\n"),
    ],
)
def test_awkward_reader_ids_are_quoted(tmp_path, reader_id, expected):
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    ReaderConfig(model_name="m", device="cpu").add_to_manifest_yaml(str(path), reader_id)
    assert expected in path.read_text()
    assert read_corvane_readers_config(str(path), reader_id).model_name == "m"


# --- round trip over awkward texts -------------------------------------------

AWKWARD = [
    "",
    " ",
    "null",
    "Null",
    "~",
    "True",
    "false",
    "0",
    "+5",
    "-1",
    "0o17",
    "0b101",
    "0x_",
    "007",
    "1e3",
    ".inf",
    "+.INF",
    ".nan",
    "1.",
    "- item",
    "? key",
    ": colon",
    "key: value",
    "[a, b]",
    "{a: b}",
    "'single'",
    '"double"',
    "back\\slash",
    "# comment",
    "a #b",
    "&anchor",
    "*alias",
    "!tag",
    "%directive",
    "@at",
    "`tick",
    "| literal",
    "> folded",
    "---",
    "...",
    "  leading",
    "trailing  ",
    "\ttab",
    "line\nbreak",
    "\n",
    "\n\nx\n\n",
    "crlf\r\nline",
    "cr\ronly",
    "nul\x00byte",
    "bell\x07",
    "esc\x1b[0m",
    "del\x7f",
    "next\x85line",
    "nbsp\xa0x",
    "ls\u2028ps\u2029",
    "\ufeffbom",
    "nonchar\uffff",
    "emoji 😀 and 𝄞",
    "ünïcødé",
    "日本語",
    "x" * 5000,
    "word " * 400,
]


def yaml_double_quoted(text):
    """The text as a YAML double-quoted scalar that only uses ASCII."""
    out = ['"']
    for char in text:
        code = ord(char)
        if char in '"\\':
            out.append("\\" + char)
        elif 0x20 <= code < 0x7F:
            out.append(char)
        elif code <= 0xFFFF:
            out.append(f"\\u{code:04x}")
        else:
            out.append(f"\\U{code:08x}")
    out.append('"')
    return "".join(out)


READER_FIELDS = [
    "model_name",
    "device",
    "consumer_group",
    "redis_host",
    "internal_gateway_ip",
    "access_token",
    "log_level",
    "backend",
    "cuda_visible_devices",
    "max_batch_size",
    "batch_duration_millis",
    "tensor_parallel",
    "quant_type",
    "max_sequence_length",
    "nvlink_unavailable",
    "disable_static",
    "disable_cuda_graph",
    "cuda_graph_cache_capacity",
    "disable_paged_attention",
    "page_cache_size",
]
INTEGER_FIELDS = {
    "max_batch_size": 2**64 - 1,
    "batch_duration_millis": 0,
    "tensor_parallel": 2**32 - 1,
    "max_sequence_length": 1,
    "nvlink_unavailable": 0,
    "disable_static": 1,
    "disable_cuda_graph": None,
    "cuda_graph_cache_capacity": 12,
    "disable_paged_attention": None,
}


def properties(reader):
    return {name: getattr(reader, name) for name in READER_FIELDS}


@pytest.mark.aarch64_smoke
def test_round_trip_of_awkward_texts_and_ids(tmp_path):
    """Readers holding awkward text in every text field, under awkward ids,
    read back equal after being added to a manifest."""
    source = tmp_path / "source.yaml"
    lines = ["corvane:\n", SERVER, "  readers_config:\n"]
    expected = {}
    for index, text in enumerate(AWKWARD):
        reader_id = f"{text}#{index}" if index % 2 else text
        values = {}
        # Explicit keys: a simple key may not exceed 1024 characters.
        lines.append(f"    ? {yaml_double_quoted(reader_id)}\n    :\n")
        for offset, name in enumerate(READER_FIELDS):
            if name in INTEGER_FIELDS:
                value = INTEGER_FIELDS[name]
                rendered = "null" if value is None else str(value)
            else:
                # Rotate through the list so each field sees many texts.
                value = AWKWARD[(index + offset) % len(AWKWARD)]
                rendered = yaml_double_quoted(value)
            values[name] = value
            lines.append(f"      {name}: {rendered}\n")
        expected[reader_id] = values
    write(source, "".join(lines))

    target = write(tmp_path / "target.yaml", EXAMPLE)
    for reader_id, values in expected.items():
        reader = read_corvane_readers_config(str(source), reader_id)
        assert properties(reader) == values, reader_id
        reader.add_to_manifest_yaml(str(target), reader_id)
    for reader_id, values in expected.items():
        assert properties(read_corvane_readers_config(str(target), reader_id)) == values, reader_id
    assert read_corvane_readers_config(str(target), "reader-a").max_batch_size == 8


# --- failures and what they leave --------------------------------------------


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("", SERIALIZING + "EOF while parsing a value"),
        ("other:\n" + SERVER + "  readers_config:\n", SERIALIZING + "No corvane key found in manifest"),
        (
            EXAMPLE.replace("    openai_port: 3003\n", ""),
            SERIALIZING + "corvane.server_config: missing field `openai_port` at line 3 column 5",
        ),
        (
            EXAMPLE.replace("port: 3000", "port: 70000"),
            SERIALIZING
            + "corvane.server_config.port: invalid value: integer `70000`, expected u16 at line 4 column 11",
        ),
        (
            EXAMPLE + "other:\n" + SERVER,
            SERIALIZING + "other: missing field `readers_config` at line 22 column 3",
        ),
        (
            EXAMPLE.replace("device: cuda", 'device: "cuda'),
            SERIALIZING
            + "found unexpected end of stream at line 21 column 1,"
            + " while scanning a quoted scalar at line 18 column 15",
        ),
    ],
    ids=["empty", "no-corvane", "missing-server-setting", "port-too-large", "bad-second-section", "syntax"],
)
def test_read_failures_leave_the_file_unchanged(tmp_path, text, message):
    path = write(tmp_path / "manifest.yaml", text)
    os.chmod(path, 0o640)
    before = os.stat(path)
    with pytest.raises(Exception) as caught:
        reader_b().add_to_manifest_yaml(str(path), "reader-b")
    assert type(caught.value) is Exception
    assert str(caught.value) == message
    after = os.stat(path)
    assert path.read_bytes() == text.encode()
    assert (after.st_ino, after.st_mode, after.st_mtime_ns) == (
        before.st_ino,
        before.st_mode,
        before.st_mtime_ns,
    )
    assert snapshot(tmp_path) == ["manifest.yaml"]


@pytest.mark.parametrize("name", ["missing.yaml", "no/such/dir/manifest.yaml", "", "nul\x00byte"])
def test_missing_file_fails_and_creates_nothing(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception) as caught:
        reader_b().add_to_manifest_yaml(name, "reader-b")
    assert str(caught.value) == "File Not Found on path: " + name
    assert snapshot(tmp_path) == []


def test_directory_as_path_fails_and_stays(tmp_path):
    with pytest.raises(Exception) as caught:
        reader_b().add_to_manifest_yaml(str(tmp_path), "reader-b")
    assert str(caught.value) == f"File Not Found on path: {tmp_path}"
    assert snapshot(tmp_path) == []


def test_not_utf8_fails_and_stays(tmp_path):
    path = tmp_path / "manifest.yaml"
    path.write_bytes(EXAMPLE.encode() + b"# \xff\n")
    with pytest.raises(Exception) as caught:
        reader_b().add_to_manifest_yaml(str(path), "reader-b")
    assert str(caught.value) == f"File Not Found on path: {path}"
    assert path.read_bytes() == EXAMPLE.encode() + b"# \xff\n"


# --- the atomic replace ------------------------------------------------------


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444, 0o755])
def test_permission_bits_and_owner_are_kept(tmp_path, mode):
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    owner = (4321, 4321) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(path, *owner)
    os.chmod(path, mode)
    reader_b().add_to_manifest_yaml(str(path), "reader-b")
    after = os.stat(path)
    assert (stat.S_IMODE(after.st_mode), after.st_uid, after.st_gid) == (mode, *owner)
    assert path.read_text() == EXAMPLE_WITH_B


def test_file_is_replaced_not_rewritten(tmp_path):
    """Another name of the old file (a hard link) keeps the old text: the new
    text went into a new file that was renamed into place."""
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    os.link(path, tmp_path / "backup.yaml")
    old_inode = os.stat(path).st_ino
    reader_b().add_to_manifest_yaml(str(path), "reader-b")
    assert os.stat(path).st_ino != old_inode
    assert path.read_text() == EXAMPLE_WITH_B
    assert (tmp_path / "backup.yaml").read_text() == EXAMPLE
    assert snapshot(tmp_path) == ["backup.yaml", "manifest.yaml"]


def test_relative_path_in_current_directory(tmp_path, monkeypatch):
    write(tmp_path / "manifest.yaml", EXAMPLE)
    monkeypatch.chdir(tmp_path)
    reader_b().add_to_manifest_yaml("manifest.yaml", "reader-b")
    assert (tmp_path / "manifest.yaml").read_text() == EXAMPLE_WITH_B
    assert snapshot(tmp_path) == ["manifest.yaml"]


def test_symlink_is_replaced_by_a_regular_file(tmp_path):
    target = write(tmp_path / "target.yaml", EXAMPLE)
    os.chmod(target, 0o600)
    link = tmp_path / "manifest.yaml"
    link.symlink_to("target.yaml")
    reader_b().add_to_manifest_yaml(str(link), "reader-b")
    assert not link.is_symlink()
    assert stat.S_ISREG(os.lstat(link).st_mode)
    assert stat.S_IMODE(os.lstat(link).st_mode) == 0o600
    assert link.read_text() == EXAMPLE_WITH_B
    assert target.read_text() == EXAMPLE
    assert snapshot(tmp_path) == ["manifest.yaml", "target.yaml"]


def in_child(body):
    """Forks; the child runs `body` and always exits (never returns into
    pytest). Returns the child's pid to the parent."""
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        try:
            body()
        finally:
            os._exit(0)
    return pid


def run_in_child(function):
    """Runs `function` in a forked child and returns what it returned (a str),
    or the text of the exception it raised, prefixed with "raised: "."""
    read_end, write_end = os.pipe()

    def body():
        os.close(read_end)
        try:
            result = str(function())
        except BaseException as error:  # noqa: BLE001 - reported to the parent
            result = "raised: " + str(error)
        os.write(write_end, result.encode())

    pid = in_child(body)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        output = reader.read().decode()
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    return output


def as_unprivileged(function):
    """`function` wrapped to run without root's power to ignore permissions."""

    def wrapped():
        if os.geteuid() == 0:
            os.setgroups([])
            os.setgid(65534)
            os.setuid(65534)
        return function()

    return wrapped


@pytest.fixture
def open_directory():
    """A directory that an unprivileged user can reach (pytest's own temporary
    directories are private to their owner)."""
    directory = pathlib.Path(tempfile.mkdtemp(prefix="corvane-"))
    os.chmod(directory, 0o755)
    yield directory
    os.chmod(directory, 0o755)
    shutil.rmtree(directory)


def test_read_only_directory_falls_back_to_writing_in_place(open_directory):
    path = write(open_directory / "manifest.yaml", EXAMPLE)
    os.chmod(path, 0o666)
    os.chmod(open_directory, 0o555)
    inode = os.stat(path).st_ino
    try:
        result = run_in_child(
            as_unprivileged(lambda: reader_b().add_to_manifest_yaml(str(path), "reader-b"))
        )
    finally:
        os.chmod(open_directory, 0o755)
    assert result == "None"
    assert path.read_text() == EXAMPLE_WITH_B
    assert os.stat(path).st_ino == inode
    assert snapshot(open_directory) == ["manifest.yaml"]


def test_unwritable_file_in_read_only_directory(open_directory):
    path = write(open_directory / "manifest.yaml", EXAMPLE)
    os.chmod(path, 0o444)
    os.chmod(open_directory, 0o555)
    try:
        result = run_in_child(
            as_unprivileged(lambda: reader_b().add_to_manifest_yaml(str(path), "reader-b"))
        )
    finally:
        os.chmod(open_directory, 0o755)
    assert result == f"raised: File Not Found on path: {path}"
    assert path.read_text() == EXAMPLE
    assert snapshot(open_directory) == ["manifest.yaml"]


MS_BIND = 4096
MS_REC = 16384
MS_PRIVATE = 1 << 18


def test_refused_rename_falls_back_to_writing_in_place(tmp_path):
    """A manifest bind-mounted over another file (as into a container)
    cannot be renamed over; the new text is written into it in place."""
    source = write(tmp_path / "source.yaml", EXAMPLE)
    directory = tmp_path / "app"
    directory.mkdir()
    mounted = write(directory / "manifest.yaml", "placeholder\n")

    def add_through_a_bind_mount():
        libc = ctypes.CDLL(None, use_errno=True)
        try:
            os.unshare(os.CLONE_NEWNS)
        except OSError as error:
            return f"skip: no mount namespace ({error})"
        # Private first, so that nothing mounted here shows outside the child.
        if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0:
            return f"skip: mount: {os.strerror(ctypes.get_errno())}"
        if libc.mount(bytes(source), bytes(mounted), None, MS_BIND, None) != 0:
            return f"skip: bind mount: {os.strerror(ctypes.get_errno())}"
        return reader_b().add_to_manifest_yaml(str(mounted), "reader-b")

    result = run_in_child(add_through_a_bind_mount)
    if result.startswith("skip: "):
        pytest.skip(result[len("skip: ") :])
    assert result == "None"
    assert source.read_text() == EXAMPLE_WITH_B
    assert mounted.read_text() == "placeholder\n"
    assert snapshot(directory) == ["manifest.yaml"]


# --- the writers' lock -------------------------------------------------------


def test_writer_waits_for_the_lock_and_reads_the_new_file(tmp_path):
    """A writer that holds the lock and renames a new manifest into place
    before releasing it: the waiting call must build on that new manifest."""
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    ready_read, ready_write = os.pipe()

    def other_writer():
        take_writers_lock(path)
        os.write(ready_write, b"x")
        time.sleep(0.3)
        replacement = tmp_path / "replacement.yaml"
        replacement.write_text(EXAMPLE.replace("example-model", "changed-model"))
        os.replace(replacement, path)

    pid = in_child(other_writer)
    os.close(ready_write)
    assert os.read(ready_read, 1) == b"x"
    os.close(ready_read)
    started = time.monotonic()
    reader_b().add_to_manifest_yaml(str(path), "reader-b")
    waited = time.monotonic() - started
    os.waitpid(pid, 0)
    assert 0.2 < waited < 3
    assert path.read_text() == EXAMPLE_WITH_B.replace("model_name: example-model\n", "model_name: changed-model\n")


@pytest.mark.long
def test_a_stuck_writer_delays_but_does_not_block(tmp_path):
    """The wait for the lock is bounded: past 10 s the call fails, the file
    untouched; other threads of the caller run all the while."""
    path = write(tmp_path / "manifest.yaml", EXAMPLE)
    ready_read, ready_write = os.pipe()

    def stuck_writer():
        take_writers_lock(path)
        os.write(ready_write, b"x")
        time.sleep(60)

    pid = in_child(stuck_writer)
    try:
        os.close(ready_write)
        assert os.read(ready_read, 1) == b"x"
        with Ticker() as ticker:
            started = time.monotonic()
            with pytest.raises(Exception) as caught:
                reader_b().add_to_manifest_yaml(str(path), "reader-b")
            waited = time.monotonic() - started
    finally:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        os.close(ready_read)
    assert caught.value.args == (
        "Error Writing to file: Resource temporarily unavailable (os error 11)",)
    assert 9.9 < waited < 15
    assert path.read_text() == EXAMPLE
    assert snapshot(tmp_path) == ["manifest.yaml"]
    assert ticker.ticks > 500 and ticker.longest_gap < STALL_LIMIT
