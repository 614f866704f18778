"""README.md stays true: its opening commands, its Python examples (run in
order in a scratch directory holding a copy of examples/manifest.yaml), the
manifest text it says they leave behind, its property types and every message
of its error tables, each triggered here."""

import ast
import pathlib
import pickle
import re
import shutil
import subprocess
import sys

import pytest

import corvane_config
from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
LINES = TEXT.splitlines()
STUB = ROOT / "stubs" / "corvane_config-stubs" / "__init__.pyi"
WRITTEN_MARKER = "<!-- manifest.yaml after the usage guide -->"

OPENING = """\
# corvane_config

Run the main job (read reader `reader-a` out of the example manifest) on a fresh machine:

    scripts/run_example.sh

Run the tests on a fresh machine:

    scripts/test.sh
"""


def fenced_blocks(language):
    """(first line number of the code, code, line before the fence) per block."""
    blocks = []
    index = 0
    while index < len(LINES):
        if LINES[index] == "```" + language:
            end = LINES.index("```", index + 1)
            before = LINES[index - 1] if index else ""
            blocks.append((index + 2, "\n".join(LINES[index + 1:end]) + "\n", before))
            index = end
        index += 1
    return blocks


def section_lines(heading):
    """The lines under a heading, up to the next heading of any level."""
    start = LINES.index(heading) + 1
    end = next((i for i in range(start, len(LINES)) if LINES[i].startswith("#")), len(LINES))
    return LINES[start:end]


def table_rows(lines):
    rows = []
    for line in lines:
        if line.startswith("|") and not line.startswith("|---"):
            cells = [cell.strip().replace("\\|", "|")
                     for cell in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
            rows.append(cells)
    return rows[1:]  # without the header row


def code_span(cell):
    match = re.fullmatch(r"(`+)(.*?)\1", cell)
    assert match, f"not a code span: {cell}"
    content = match.group(2)
    if content.startswith(" ") and content.endswith(" ") and content.strip():
        content = content[1:-1]
    return content


def template_pattern(template):
    """A message template with {placeholders} as a regular expression."""
    parts = re.split(r"\{[a-z_ ]+\}", template)
    return ".+?".join(re.escape(part) for part in parts)


# --- opening and wording ------------------------------------------------------


def test_readme_opens_with_the_two_fresh_machine_commands():
    assert TEXT.startswith(OPENING)


def test_readme_refers_to_no_outside_document():
    assert re.search(r"\bspec(ification)?s?\b|\bPart \d", TEXT, re.IGNORECASE) is None


# --- the examples -------------------------------------------------------------


@pytest.fixture(scope="module")
def examples_run(tmp_path_factory):
    """Runs every ```python block in order in one namespace, as a reader of
    the README would in one session; returns the scratch directory."""
    work = tmp_path_factory.mktemp("readme")
    shutil.copyfile(ROOT / "examples" / "manifest.yaml", work / "manifest.yaml")
    namespace = {"__name__": "__readme__"}
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(work)
        for line, code, _ in fenced_blocks("python"):
            # Padded so that a traceback names the README's own line numbers.
            exec(compile("\n" * (line - 1) + code, str(README), "exec"), namespace)
    return work


def test_python_examples_run(examples_run):
    assert len(fenced_blocks("python")) >= 8
    assert (examples_run / "manifest.yaml").is_file()


def test_manifest_shown_is_the_one_the_examples_leave(examples_run):
    [shown] = [code for _, code, before in fenced_blocks("yaml") if before == WRITTEN_MARKER]
    assert (examples_run / "manifest.yaml").read_text(encoding="utf-8") == shown


def test_example_manifest_shown_is_examples_manifest_yaml():
    shown = [code for _, code, before in fenced_blocks("yaml") if before != WRITTEN_MARKER]
    assert (ROOT / "examples" / "manifest.yaml").read_text(encoding="utf-8") in shown


# --- the API reference ---------------------------------------------------------


def stub_property_types():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    [reader] = [node for node in tree.body
                if isinstance(node, ast.ClassDef) and node.name == "ReaderConfig"]
    return {
        node.name: ast.unparse(node.returns)
        for node in reader.body
        if isinstance(node, ast.FunctionDef)
        and any(ast.unparse(d) == "property" for d in node.decorator_list)
    }


def test_property_table_gives_every_property_with_its_stub_type():
    start = LINES.index("**Properties** (read-only; assigning or deleting raises `AttributeError`), in")
    rows = table_rows(LINES[start:start + 30])
    documented = {code_span(row[0]): code_span(row[1]) for row in rows}
    assert list(documented) == list(stub_property_types())
    assert documented == stub_property_types()
    runtime = [name for name, value in vars(ReaderConfig).items()
               if type(value).__name__ == "getset_descriptor" and not name.startswith("_")]
    assert list(documented) == runtime


def test_constructor_table_lists_the_stubbed_keywords():
    start = LINES.index("**Constructor** `ReaderConfig(**kwargs)`: keyword arguments only.")
    documented = [code_span(row[0]) for row in table_rows(LINES[start:start + 12])]
    assert documented == ["model_name", "device", "consumer_group", "log_level",
                          "cuda_visible_devices", "max_batch_size", "tensor_parallel",
                          "max_sequence_length"]


# --- error messages ------------------------------------------------------------


def raised(call):
    try:
        call()
    except BaseException as error:  # noqa: BLE001 - the class is what is checked
        return type(error).__name__, str(error)
    raise AssertionError("no exception raised")


def manifest(tmp_path, text, name="manifest.yaml"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def reader_manifest(tmp_path, reader_body):
    body = "".join(f"      {line}\n" for line in reader_body.strip().splitlines())
    return manifest(tmp_path, f"corvane:\n  server_config: {{}}\n  readers_config:\n    r1:\n{body}")


def read_error(tmp_path, text):
    return raised(lambda: read_corvane_readers_config(manifest(tmp_path, text), "r1"))


def write_error_past_file_size_limit(tmp_path):
    """A process whose file size limit is smaller than the new manifest."""
    path = shutil.copyfile(ROOT / "examples" / "manifest.yaml", tmp_path / "manifest.yaml")
    before = path.read_bytes()
    code = (
        "import resource, signal, sys, corvane_config\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (64, 64))\n"
        "try:\n"
        "    corvane_config.ReaderConfig(model_name='m', device='cpu')"
        ".add_to_manifest_yaml(sys.argv[1], 'r')\n"
        "except Exception as error:\n"
        "    print(type(error).__name__, error, sep='|')\n"
    )
    done = subprocess.run([sys.executable, "-c", code, str(path)],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert path.read_bytes() == before, "a failed write must leave the manifest as it was"
    kind, message = done.stdout.rstrip("\n").split("|", 1)
    return kind, message


def reader():
    return ReaderConfig(model_name="m", device="cpu")


class _ForgedReader:
    """Pickles as a reader whose pickled settings are `state`."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return corvane_config._reader_config_from_state, (self.state,)


def unpickle_state(state):
    return pickle.loads(pickle.dumps(_ForgedReader(state)))


# Message template as the README writes it -> what triggers it.
MESSAGES = {
    "File Not Found on path: {path}":
        lambda tmp: raised(lambda: read_corvane_readers_config(str(tmp / "missing.yaml"), "r1")),
    "Error Error Serializing/Deserializing:: {yaml message}":
        lambda tmp: read_error(tmp, "corvane:\n  server_config: {}\n  readers_config:\n"
                                    "    r1:\n      device: cpu\n      consumer_group: g\n"),
    "Error Error Serializing/Deserializing:: No corvane key found in manifest":
        lambda tmp: read_error(tmp, "other:\n  server_config: {}\n  readers_config: {}\n"),
    "Invalid Value: No reader with id {reader_id} found in manifest.yaml":
        lambda tmp: raised(lambda: read_corvane_readers_config(
            str(ROOT / "examples" / "manifest.yaml"), "nobody")),
    "Error Writing to file: {system message} (os error {errno})":
        write_error_past_file_size_limit,
    "Validation Errors: [{findings}]":
        lambda tmp: raised(ReaderConfig(model_name="m", device="cpu", tensor_parallel=2).validate),
    "model_name cannot be empty":
        lambda tmp: raised(lambda: ReaderConfig(device="cpu")),
    "device must be either 'cpu' or 'cuda'":
        lambda tmp: raised(lambda: ReaderConfig(model_name="m", device="api")),
    "'{type}' object cannot be converted to 'PyString'":
        lambda tmp: raised(lambda: ReaderConfig(model_name="m", device="cpu",
                                                cuda_visible_devices=1)),
    "out of range integral type conversion attempted":
        lambda tmp: raised(lambda: ReaderConfig(model_name="m", device="cpu",
                                                max_sequence_length=4294967296)),
    "ReaderConfig.__new__() takes 0 positional arguments but {count} were given":
        lambda tmp: raised(lambda: ReaderConfig("m", "cpu")),
    "No constructor defined":
        lambda tmp: raised(lambda: AppConfig(port=1)),
    "ReaderConfig.__replace__() takes 0 positional arguments but {count} were given":
        lambda tmp: raised(lambda: reader().__replace__("m", "cpu")),
    "ReaderConfig state must be a tuple, not '{type}'":
        lambda tmp: raised(lambda: unpickle_state(["m", "cpu", ""] + [None] * 17)),
    "ReaderConfig state must hold 20 settings, not {count}":
        lambda tmp: raised(lambda: unpickle_state(("m", "cpu", ""))),
    "ReaderConfig state, setting '{name}': {conversion error}":
        lambda tmp: raised(lambda: unpickle_state(("m", 5, "") + (None,) * 17)),
    "read_corvane_readers_config() takes from 0 to 2 positional arguments but {count} were given":
        lambda tmp: raised(lambda: read_corvane_readers_config("a", "b", "c")),
    "ReaderConfig.add_to_manifest_yaml() takes 2 positional arguments but {count} were given":
        lambda tmp: raised(lambda: reader().add_to_manifest_yaml("a", "b", "c")),
    "ReaderConfig.add_to_manifest_yaml() missing 1 required positional argument: 'reader_id'":
        lambda tmp: raised(lambda: reader().add_to_manifest_yaml("a")),
    "ReaderConfig.add_to_manifest_yaml() missing 2 required positional arguments: "
    "'path' and 'reader_id'":
        lambda tmp: raised(lambda: reader().add_to_manifest_yaml()),
    "{function}() got an unexpected keyword argument '{keyword}'":
        lambda tmp: raised(lambda: reader().add_to_manifest_yaml("a", reader_ld="b")),
    "{function}() got multiple values for argument '{name}'":
        lambda tmp: raised(lambda: read_corvane_readers_config("a", path="a")),
    "argument '{name}': '{type}' object cannot be converted to 'PyString'":
        lambda tmp: raised(lambda: read_corvane_readers_config("a", reader_id=7)),
    "ReaderConfig.{method}() takes no arguments ({count} given)":
        lambda tmp: raised(lambda: reader().dict_without_optionals(1)),
}

SERVER = "corvane:\n  server_config: {}\n  readers_config: {}\n"
TEXT_SETTINGS = ("model_name", "device", "consumer_group", "redis_host", "internal_gateway_ip",
                 "access_token", "log_level", "backend", "cuda_visible_devices", "quant_type",
                 "page_cache_size")
# Sections that repeat a section whose readers repeat a reader whose settings
# repeat one text: every short line makes the reader follow hundreds of aliases.
ALIAS_BOMB = (
    "corvane: &c\n  anchor: &s text\n  server_config: {}\n  readers_config:\n"
    "    r0: &r {" + ", ".join(f"{name}: *s" for name in TEXT_SETTINGS) + "}\n"
    + "".join(f"    r{i}: *r\n" for i in range(1, 20))
    + "".join(f"copy{i}: *c\n" for i in range(300)))

# Core text -> a manifest (or a call) whose message holds it.
YAML_MESSAGES = {
    "missing field `{key}`":
        lambda tmp: read_error(tmp, "corvane:\n  readers_config: {}\n"),
    "duplicate field `{key}`":
        lambda tmp: raised(lambda: read_corvane_readers_config(
            reader_manifest(tmp, "model_name: m\ndevice: cpu\ndevice: cuda\nconsumer_group: g"),
            "r1")),
    "invalid type: {found}, expected {expected}":
        lambda tmp: raised(lambda: read_corvane_readers_config(
            reader_manifest(tmp, "model_name: m\ndevice: cpu\nconsumer_group: g\n"
                                 "max_batch_size: eight"), "r1")),
    "invalid value: {found}, expected {expected}":
        lambda tmp: raised(lambda: read_corvane_readers_config(
            reader_manifest(tmp, "model_name: m\ndevice: cpu\nconsumer_group: g\n"
                                 "tensor_parallel: 4294967296"), "r1")),
    "EOF while parsing a value":
        lambda tmp: read_error(tmp, "# only a comment\n"),
    "deserializing from YAML containing more than one document is not supported":
        lambda tmp: read_error(tmp, SERVER + "---\n" + SERVER),
    "repetition limit exceeded":
        lambda tmp: read_error(tmp, ALIAS_BOMB),
    "unknown anchor":
        lambda tmp: read_error(tmp, "corvane: *nowhere\n"),
    "{parser message} at line {line} column {column}":
        lambda tmp: read_error(tmp, "corvane:\n  server_config: {}\n  readers_config: a: b\n"),
}


def finding(tmp, body=None, **keywords):
    if body is not None:
        built = read_corvane_readers_config(reader_manifest(tmp, body), "r1")
    else:
        built = ReaderConfig(model_name="m", **keywords)
    return raised(built.validate)


FINDINGS = {
    "tensor_parallel is not supported on cpu":
        lambda tmp: finding(tmp, device="cpu", tensor_parallel=2),
    "device must be either 'cpu' or 'cuda' for local models, or 'api' for api-based models":
        lambda tmp: finding(tmp, "model_name: m\ndevice: gpu\nconsumer_group: g"),
    "If providing cuda_visible_devices, tensor_parallel cannot be larger than the number of "
    "devices provided":
        lambda tmp: finding(tmp, device="cuda", tensor_parallel=4, cuda_visible_devices="0,1"),
    "tensor_parallel must be 1 or even, if specified.":
        lambda tmp: finding(tmp, device="cuda", tensor_parallel=3),
    "tensor_parallel must be at least 1, if specified.":
        lambda tmp: finding(tmp, device="cuda", tensor_parallel=0),
    "cuda_visible_devices must be a comma separated string of integers like '0,1'":
        lambda tmp: finding(tmp, device="cuda", cuda_visible_devices="0, 1"),
}


def documented(heading):
    return {code_span(row[0]): row for row in table_rows(section_lines(heading))}


def test_error_table_is_exactly_the_triggered_messages():
    assert set(documented("## Error messages")) == set(MESSAGES)
    assert set(documented("### YAML messages")) == set(YAML_MESSAGES)
    assert set(documented("### Validation findings")) == set(FINDINGS)


@pytest.mark.parametrize("template", list(MESSAGES))
def test_error_message_is_met_as_documented(template, tmp_path):
    row = documented("## Error messages")[template]
    kind, message = MESSAGES[template](tmp_path)
    assert kind == code_span(row[1])
    assert re.fullmatch(template_pattern(template), message), message


@pytest.mark.parametrize("template", list(YAML_MESSAGES))
def test_yaml_message_is_met_as_documented(template, tmp_path):
    kind, message = YAML_MESSAGES[template](tmp_path)
    prefix = "Error Error Serializing/Deserializing:: "
    assert kind == "Exception" and message.startswith(prefix), message
    assert re.search(template_pattern(template), message[len(prefix):]), message


@pytest.mark.parametrize("text", list(FINDINGS))
def test_validation_finding_is_met_as_documented(text, tmp_path):
    row = documented("### Validation findings")[text]
    kind, message = FINDINGS[text](tmp_path)
    setting = code_span(row[1])
    assert kind == "Exception"
    expected = (f'ValidationError {{ field: Field("{setting}"), '
                f'error_type: Invalid("{text}") }}')
    assert message.startswith("Validation Errors: [") and expected in message, message


def test_module_surface_in_the_reference_is_complete():
    assert set(corvane_config.__all__) == {"ReaderConfig", "AppConfig", "read_corvane_readers_config"}
    for name in corvane_config.__all__:
        assert f"`{name}" in TEXT or f"`class {name}`" in TEXT
    for method in ("dict_without_optionals", "validate", "add_to_manifest_yaml"):
        assert f"`{method}(" in TEXT
