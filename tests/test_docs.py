"""The documents stay true: README.md and every file in docs/.

- README.md opens with the title, one paragraph, then the two fresh-machine
  commands.
- Every ```python block runs: README's quick start in a scratch directory of
  its own holding a copy of examples/manifest.yaml, the user guide's blocks in
  order in one namespace (as a reader would in one session) in another, and
  every other document's blocks likewise in one of their own.
- The manifest the user guide's examples leave behind is the text the
  manifest format shows; the example manifest shown is examples/manifest.yaml.
- The API reference's constructor and property tables match the stubs.
- The error tables are exactly the messages triggered here, each one met as
  documented.
- Every relative link points to a file that exists, and to a heading there.
- No document speaks of documents outside the repository.
"""

import ast
import os
import pathlib
import pickle
import re
import shutil
import subprocess
import sys
import tomllib

import pytest

import corvane_config
from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config
from test_build import HINT

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = ROOT / "docs"
STUB = ROOT / "stubs" / "corvane_config-stubs" / "__init__.pyi"
EXAMPLE_MANIFEST = ROOT / "examples" / "manifest.yaml"
WRITTEN_MARKER = "<!-- manifest.yaml after the user guide -->"
DOCUMENTS = [README, *sorted(DOCS.glob("*.md"))]
USER_GUIDE = DOCS / "user-guide.md"
API = DOCS / "api.md"
ERRORS = DOCS / "errors.md"
MANIFEST_FORMAT = DOCS / "manifest-format.md"

COMMANDS = """\
Run the main job (read reader `reader-a` out of the example manifest) on a fresh machine:

    scripts/run_example.sh

Run the tests on a fresh machine:

    scripts/test.sh
"""


def name(path):
    return path.relative_to(ROOT).as_posix()


def lines_of(path):
    return path.read_text(encoding="utf-8").splitlines()


def fenced_blocks(path, language):
    """(first line number of the code, code, line before the fence) per block."""
    lines = lines_of(path)
    blocks = []
    index = 0
    while index < len(lines):
        if lines[index] == "```" + language:
            end = lines.index("```", index + 1)
            before = lines[index - 1] if index else ""
            blocks.append((index + 2, "\n".join(lines[index + 1:end]) + "\n", before))
            index = end
        index += 1
    return blocks


def prose_lines(path):
    """The lines of a document with those inside fenced code blocks blanked."""
    out, fenced = [], False
    for line in lines_of(path):
        if line.startswith("```"):
            fenced = not fenced
            out.append("")
        else:
            out.append("" if fenced else line)
    return out


def section_lines(path, heading):
    """The lines under a heading, up to the next heading of any level."""
    lines = prose_lines(path)
    start = lines.index(heading) + 1
    end = next((i for i in range(start, len(lines)) if lines[i].startswith("#")), len(lines))
    return lines[start:end]


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


# --- README's opening ------------------------------------------------------------


def test_readme_opens_with_title_paragraph_and_the_two_commands():
    text = README.read_text(encoding="utf-8")
    title, paragraph, rest = text.split("\n\n", 2)
    assert title == "# corvane_config"
    assert paragraph and not re.match(r"[#|>\- ]|```", paragraph), paragraph
    assert rest.startswith(COMMANDS)
    # Near the top: before anything but the title and the paragraph.
    assert text.index(COMMANDS) < text.index("\n## ")


def test_readme_shows_the_configure_message_for_a_missing_libyaml():
    text = README.read_text(encoding="utf-8")
    assert "    corvane_config needs libyaml, not found by pkg-config: " + HINT + "\n" in text


def test_file_names_carry_the_current_version():
    version = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]["version"]
    named = [(name(path), found) for path in DOCUMENTS
             for found in re.findall(r"corvane_config-(\d+\.\d+\.\d+)", path.read_text(encoding="utf-8"))]
    assert named, "no document names a distribution file"
    assert [entry for entry in named if entry[1] != version] == []


@pytest.mark.parametrize("path", DOCUMENTS, ids=name)
def test_document_refers_to_no_outside_document(path):
    text = path.read_text(encoding="utf-8")
    assert re.search(r"\bspec(ification)?s?\b|\bPart \d", text, re.IGNORECASE) is None


# --- links ---------------------------------------------------------------------


def heading_anchors(path):
    """The anchors a Markdown renderer gives the headings, as GitHub makes
    them: lower case, punctuation dropped, spaces to hyphens, repeats
    numbered."""
    anchors, seen = set(), {}
    for line in prose_lines(path):
        match = re.match(r"#{1,6} (.*)", line)
        if not match:
            continue
        anchor = re.sub(r"[^\w\- ]", "", match.group(1).strip().lower()).replace(" ", "-")
        count = seen.get(anchor, 0)
        seen[anchor] = count + 1
        anchors.add(anchor if count == 0 else f"{anchor}-{count}")
    return anchors


def links(path):
    """The targets of the inline links outside code."""
    prose = "\n".join(prose_lines(path))
    prose = re.sub(r"(`+).*?\1", "", prose, flags=re.DOTALL)
    prose = "\n".join(line for line in prose.split("\n") if not line.startswith("    "))
    return re.findall(r"\[[^\]]*\]\(([^)\s]+)\)", prose)


@pytest.mark.parametrize("path", DOCUMENTS, ids=name)
def test_every_relative_link_reaches_a_file_and_heading(path):
    targets = links(path)
    assert targets, f"{name(path)} links nowhere"
    broken = []
    for target in targets:
        if re.match(r"[a-z]+:", target):
            continue  # an absolute URL
        file_part, _, anchor = target.partition("#")
        linked = (path.parent / file_part).resolve() if file_part else path
        if not linked.is_file():
            broken.append(f"{target}: no such file")
        elif anchor and anchor not in heading_anchors(linked):
            broken.append(f"{target}: no such heading")
    assert broken == []


def test_every_document_is_reached_from_the_readme():
    reached, todo = {README}, [README]
    while todo:
        current = todo.pop()
        for target in links(current):
            file_part = target.partition("#")[0]
            if not file_part or re.match(r"[a-z]+:", target):
                continue
            linked = (current.parent / file_part).resolve()
            if linked.suffix == ".md" and linked not in reached:
                reached.add(linked)
                todo.append(linked)
    assert set(DOCUMENTS) <= reached


# --- the examples ---------------------------------------------------------------


def run_examples(path, work):
    """Runs every ```python block of a document in order in one namespace,
    in `work`, which holds a copy of the example manifest."""
    shutil.copyfile(EXAMPLE_MANIFEST, work / "manifest.yaml")
    namespace = {"__name__": "__docs__"}
    blocks = fenced_blocks(path, "python")
    with pytest.MonkeyPatch.context() as patch:
        patch.chdir(work)
        for line, code, _ in blocks:
            # Padded so that a traceback names the document's own line numbers.
            exec(compile("\n" * (line - 1) + code, str(path), "exec"), namespace)
    return len(blocks)


@pytest.fixture(scope="module")
def user_guide_run(tmp_path_factory):
    """The scratch directory after the user guide's examples ran there."""
    work = tmp_path_factory.mktemp("user-guide")
    assert run_examples(USER_GUIDE, work) >= 8
    return work


def test_readme_quick_start_runs(tmp_path):
    assert run_examples(README, tmp_path) == 1
    # The quick start added a reader to its copy of the manifest.
    assert read_corvane_readers_config(str(tmp_path / "manifest.yaml"), "reader-c").model_name == "llama"


def test_user_guide_examples_run(user_guide_run):
    assert (user_guide_run / "manifest.yaml").is_file()


OTHER_EXAMPLES = [path for path in DOCUMENTS if path not in (README, USER_GUIDE)
                  and fenced_blocks(path, "python")]


@pytest.mark.parametrize("path", OTHER_EXAMPLES, ids=name)
def test_other_documents_examples_run(path, tmp_path):
    assert run_examples(path, tmp_path) >= 1


def test_api_reference_has_examples():
    assert API in OTHER_EXAMPLES


def test_manifest_shown_is_the_one_the_user_guide_leaves(user_guide_run):
    [shown] = [code for _, code, before in fenced_blocks(MANIFEST_FORMAT, "yaml")
               if before == WRITTEN_MARKER]
    assert (user_guide_run / "manifest.yaml").read_text(encoding="utf-8") == shown


def test_example_manifest_shown_is_examples_manifest_yaml():
    shown = [code for _, code, before in fenced_blocks(MANIFEST_FORMAT, "yaml")
             if before != WRITTEN_MARKER]
    assert EXAMPLE_MANIFEST.read_text(encoding="utf-8") in shown


# --- the API reference -------------------------------------------------------------


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
    rows = table_rows(section_lines(API, "### Properties"))
    documented = {code_span(row[0]): code_span(row[1]) for row in rows}
    assert list(documented) == list(stub_property_types())
    assert documented == stub_property_types()
    runtime = [name for name, value in vars(ReaderConfig).items()
               if type(value).__name__ == "getset_descriptor" and not name.startswith("_")]
    assert list(documented) == runtime


def stub_constructor_keywords():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    [reader] = [node for node in tree.body
                if isinstance(node, ast.ClassDef) and node.name == "ReaderConfig"]
    forms = [node for node in reader.body
             if isinstance(node, ast.FunctionDef) and node.name == "__new__"]
    return max(([arg.arg for arg in form.args.kwonlyargs] for form in forms), key=len)


def test_constructor_table_lists_the_stubbed_keywords():
    documented = [code_span(row[0]) for row in table_rows(section_lines(API, "### Constructor"))]
    assert documented == ["model_name", "device", "consumer_group", "log_level",
                          "cuda_visible_devices", "max_batch_size", "tensor_parallel",
                          "max_sequence_length"]
    assert documented == stub_constructor_keywords()


def test_module_surface_in_the_reference_is_complete():
    text = API.read_text(encoding="utf-8")
    assert len(corvane_config.__all__) == 5
    for public in corvane_config.__all__:
        assert f"## `{public}`" in text
    for method in ("dict_without_optionals", "validate", "add_to_manifest_yaml", "__replace__"):
        assert f"`{method}(" in text


# --- error messages ----------------------------------------------------------------


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


def read_error_of_size(tmp_path, size):
    """The read of a manifest that many bytes long (sparse: no disk, no memory)."""
    path = tmp_path / "manifest.yaml"
    with open(path, "wb") as out:
        out.write(SERVER.encode())
        out.truncate(size)
    return raised(lambda: read_corvane_readers_config(str(path), "r1"))


def read_error(tmp_path, text):
    return raised(lambda: read_corvane_readers_config(manifest(tmp_path, text), "r1"))


def write_error_past_file_size_limit(tmp_path):
    """A process whose file size limit is smaller than the new manifest."""
    path = shutil.copyfile(EXAMPLE_MANIFEST, tmp_path / "manifest.yaml")
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


def add_to_a_named_pipe(tmp):
    os.mkfifo(tmp / "pipe")
    return raised(lambda: reader().add_to_manifest_yaml(str(tmp / "pipe"), "r1"))


def keep_layout_error(tmp, text, reader_id="r1", remove=False):
    """A layout-keeping edit of `text` under `reader_id` refused."""
    path = manifest(tmp, text.replace("SERVER", SERVER_SETTINGS))
    if remove:
        return raised(lambda: corvane_config.remove_corvane_readers_config(path, reader_id))
    return raised(lambda: reader().add_to_manifest_yaml(path, reader_id, keep_layout=True))


SERVER_SETTINGS = "  server_config:\n" + "".join(
    f"    {line}\n" for line in EXAMPLE_MANIFEST.read_text(encoding="utf-8").split(
        "  server_config:\n")[1].split("  readers_config:")[0].strip("\n").splitlines())
ONE_READER = "    r1: {model_name: m, device: cpu, consumer_group: g}\n"


def add_to_a_replaced_file(tmp):
    """A manifest no name points to: an open descriptor's /proc link to a
    removed file shows it, as a bind mount of the file does once a rename
    on the host has replaced it."""
    path = shutil.copyfile(EXAMPLE_MANIFEST, tmp / "manifest.yaml")
    fd = os.open(path, os.O_RDONLY)
    try:
        os.unlink(path)
        return raised(lambda: reader().add_to_manifest_yaml(f"/proc/self/fd/{fd}", "r1"))
    finally:
        os.close(fd)


def add_forked_in_a_signal_handler(tmp):
    """The child of a signal handler that forks during the writers' wait."""
    shutil.copyfile(EXAMPLE_MANIFEST, tmp / "manifest.yaml")
    code = (
        "import fcntl, os, signal, corvane_config\n"
        "holder = os.open('.', os.O_RDONLY)\n"
        "fcntl.flock(holder, fcntl.LOCK_EX)\n"
        "parent = os.getpid()\n"
        "def fork(*_):\n"
        "    os.fork()\n"
        "    os.close(holder)\n"
        "signal.signal(signal.SIGALRM, fork)\n"
        "signal.setitimer(signal.ITIMER_REAL, 0.1)\n"
        "try:\n"
        "    corvane_config.ReaderConfig(model_name='m', device='cpu')"
        ".add_to_manifest_yaml('manifest.yaml', 'r')\n"
        "except Exception as error:\n"
        "    print(type(error).__name__, error, sep='|', flush=True)\n"
        "if os.getpid() == parent:\n"
        "    os.wait()\n"
    )
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    kind, message = done.stdout.rstrip("\n").split("|", 1)
    return kind, message


# Message template as docs/errors.md writes it -> what triggers it.
MESSAGES = {
    "Error Error Serializing/Deserializing:: cannot keep the layout: the alias *{name} at line "
    "{line} column {column} names a node this change edits":
        lambda tmp: keep_layout_error(tmp, "corvane:\nSERVER  readers_config:\n" + ONE_READER
                                      + "    r2: {model_name: &m x, device: cpu, "
                                      "consumer_group: g}\n  other: *m\n", "r2"),
    "Error Error Serializing/Deserializing:: cannot keep the layout: the readers table is an alias":
        lambda tmp: keep_layout_error(tmp, "base:\nSERVER  readers_config: &t\n" + ONE_READER
                                      + "corvane:\nSERVER  readers_config: *t\n"),
    "Error Error Serializing/Deserializing:: cannot keep the layout: the corvane section is an "
    "alias":
        lambda tmp: keep_layout_error(tmp, "base: &c\nSERVER  readers_config: {}\ncorvane: *c\n"),
    "Error Error Serializing/Deserializing:: cannot keep the layout: {what} at line {line} column "
    "{column} is not a plain key":
        lambda tmp: keep_layout_error(tmp, "corvane:\nSERVER  name: &n r1\n  readers_config:\n"
                                      "    *n : {model_name: m, device: cpu, consumer_group: g}\n"),
    "Error Error Serializing/Deserializing:: cannot keep the layout: {what} at line {line} "
    "column {column} does not start its line":
        lambda tmp: keep_layout_error(tmp, "corvane:\nSERVER  readers_config:\n    ? r1\n"
                                      "    : {model_name: m, device: cpu, consumer_group: g}\n",
                                      remove=True),
    "Error Error Serializing/Deserializing:: cannot keep the layout: the manifest breaks lines "
    "other than with LF or CRLF":
        lambda tmp: keep_layout_error(
            tmp, ("corvane:\nSERVER  readers_config:\n" + ONE_READER).replace("\n", "\r")),
    "read_corvane_readers() missing 1 required positional argument: 'path'":
        lambda tmp: raised(lambda: corvane_config.read_corvane_readers()),
    "read_corvane_readers() takes 1 positional argument but {count} were given":
        lambda tmp: raised(lambda: corvane_config.read_corvane_readers("a", "b")),
    "argument 'keep_layout': '{type}' object cannot be converted to 'PyBool'":
        lambda tmp: raised(lambda: reader().add_to_manifest_yaml("a", "b", keep_layout="yes")),
    "File Not Found on path: {path}":
        lambda tmp: raised(lambda: read_corvane_readers_config(str(tmp / "missing.yaml"), "r1")),
    "Error Error Serializing/Deserializing:: {yaml message}":
        lambda tmp: read_error(tmp, "corvane:\n  server_config: {}\n  readers_config:\n"
                                    "    r1:\n      device: cpu\n      consumer_group: g\n"),
    "Error Error Serializing/Deserializing:: No corvane key found in manifest":
        lambda tmp: read_error(tmp, "other:\n  server_config: {}\n  readers_config: {}\n"),
    "Invalid Value: No reader with id {reader_id} found in manifest.yaml":
        lambda tmp: raised(lambda: read_corvane_readers_config(
            str(EXAMPLE_MANIFEST), "nobody")),
    "Error Writing to file: {system message} (os error {errno})":
        write_error_past_file_size_limit,
    "Error Writing to file: not a regular file": add_to_a_named_pipe,
    "Error Writing to file: the manifest file was replaced outside this mount (mount its "
    "directory, not the file)": add_to_a_replaced_file,
    "Error Writing to file: the process forked during the call": add_forked_in_a_signal_handler,
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
    "document too large":
        lambda tmp: read_error_of_size(tmp, 2**31),
    "recursion limit exceeded":
        lambda tmp: read_error(tmp, SERVER + "  junk: " + "[" * 200 + "]" * 200 + "\n"),
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
    return {code_span(row[0]): row for row in table_rows(section_lines(ERRORS, heading))}


def test_error_tables_are_exactly_the_triggered_messages():
    assert set(documented("## Messages")) == set(MESSAGES)
    assert set(documented("## YAML messages")) == set(YAML_MESSAGES)
    assert set(documented("## Validation findings")) == set(FINDINGS)


@pytest.mark.parametrize("template", list(MESSAGES))
def test_error_message_is_met_as_documented(template, tmp_path):
    row = documented("## Messages")[template]
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
    row = documented("## Validation findings")[text]
    kind, message = FINDINGS[text](tmp_path)
    setting = code_span(row[1])
    assert kind == "Exception"
    expected = (f'ValidationError {{ field: Field("{setting}"), '
                f'error_type: Invalid("{text}") }}')
    assert message.startswith("Validation Errors: [") and expected in message, message
