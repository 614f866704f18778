"""The type stubs (package corvane_config-stubs): installed beside the module,
in step with it, and good enough for mypy --strict and pyright.

Drift is caught from three sides: the stubs' names (read with ast) against
dir() of the module and its classes, the stubs' property types against the
values the properties hand out, and mypy's stubtest against the signatures the
module reports. The type checkers then check an example that uses every
public name (tests/typing_example.py) and a file of misuses that each must be
an error (tests/typing_errors.py)."""

import ast
import importlib.util
import inspect
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import corvane_config
from corvane_config import ReaderConfig, read_corvane_readers_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_STUB = ROOT / "stubs" / "corvane_config-stubs" / "__init__.pyi"
INSTALLED_STUB = pathlib.Path(corvane_config.__file__).parent / "corvane_config-stubs" / "__init__.pyi"
EXAMPLE = ROOT / "tests" / "typing_example.py"
MISUSES = ROOT / "tests" / "typing_errors.py"
TIMEOUT = 300


# --- the stubs as ast ---------------------------------------------------------


def stub_tree():
    return ast.parse(SOURCE_STUB.read_text(encoding="utf-8"))


def decorator_names(node):
    return {ast.unparse(decorator) for decorator in node.decorator_list}


def stub_class(name):
    for node in stub_tree().body:
        if isinstance(node, ast.ClassDef) and node.name == name:
            return node
    raise AssertionError(f"the stubs define no class {name}")


def stub_members(class_node):
    """Name -> list of definitions (overloads give several)."""
    members = {}
    for node in class_node.body:
        if isinstance(node, ast.FunctionDef):
            members.setdefault(node.name, []).append(node)
    return members


def stub_properties(class_node):
    return {
        name: nodes[0]
        for name, nodes in stub_members(class_node).items()
        if "property" in decorator_names(nodes[0])
    }


def public(names):
    return {name for name in names if not name.startswith("_")}


def annotation_type(node):
    """The runtime form of a stub annotation such as `str | None`."""
    return eval(ast.unparse(node), {"str": str, "int": int, "None": None})


# --- installation ---------------------------------------------------------------


def test_stubs_are_installed_beside_the_module():
    assert INSTALLED_STUB.is_file(), f"pip install . did not install {INSTALLED_STUB}"
    assert INSTALLED_STUB.read_bytes() == SOURCE_STUB.read_bytes(), (
        "the installed stubs are older than stubs/: reinstall with scripts/setup.sh")


# --- names ----------------------------------------------------------------------


def test_stub_module_names_match_the_module():
    tree = stub_tree()
    defined = {node.name for node in tree.body if isinstance(node, (ast.ClassDef, ast.FunctionDef))}
    # Private names on either side (helper types of the stubs, the function
    # that unpickling calls) are no part of the public surface.
    assert public(defined) == public(dir(corvane_config))
    declared_all = next(
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and ast.unparse(node.targets[0]) == "__all__"
    )
    assert declared_all == corvane_config.__all__


@pytest.mark.parametrize("name", ["ReaderConfig", "AppConfig"])
def test_stub_class_members_match_the_class(name):
    runtime = getattr(corvane_config, name)
    assert public(stub_members(stub_class(name))) == public(dir(runtime))


@pytest.mark.parametrize("name", ["ReaderConfig", "AppConfig"])
def test_stub_classes_are_final_because_the_classes_cannot_be_subclassed(name):
    assert "final" in decorator_names(stub_class(name))
    with pytest.raises(TypeError):
        type("Sub", (getattr(corvane_config, name),), {})


def test_stub_properties_are_the_runtime_properties_in_order():
    runtime = [
        name
        for name, value in vars(ReaderConfig).items()
        if inspect.isgetsetdescriptor(value) and not name.startswith("_")
    ]
    assert list(stub_properties(stub_class("ReaderConfig"))) == runtime
    assert len(runtime) == 20


def test_stub_methods_are_the_runtime_methods():
    members = stub_members(stub_class("ReaderConfig"))
    properties = stub_properties(stub_class("ReaderConfig"))
    stub_methods = public(members) - set(properties)
    runtime = {name for name in public(dir(ReaderConfig)) if callable(getattr(ReaderConfig, name))}
    assert stub_methods == runtime == {"dict_without_optionals", "validate", "add_to_manifest_yaml"}


# --- signatures ---------------------------------------------------------------------


def stub_parameters(function):
    args = function.args
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(default) for default in args.defaults
    ]
    keyword_only = [
        None if default is None else ast.literal_eval(default) for default in args.kw_defaults]
    return [(arg.arg, default) for arg, default in zip(positional, defaults)] + [
        (arg.arg, default) for arg, default in zip(args.kwonlyargs, keyword_only)]


def runtime_parameters(function):
    result = []
    for parameter in inspect.signature(function).parameters.values():
        default = None if parameter.default is inspect.Parameter.empty else parameter.default
        result.append((parameter.name, default))
    return result


@pytest.mark.parametrize("name", corvane_config.__all__[2:])
def test_function_signature_matches(name):
    function = next(
        node for node in stub_tree().body
        if isinstance(node, ast.FunctionDef) and node.name == name)
    assert stub_parameters(function) == runtime_parameters(getattr(corvane_config, name))


@pytest.mark.parametrize("name", ["dict_without_optionals", "validate", "add_to_manifest_yaml"])
def test_method_signature_matches(name):
    [method] = stub_members(stub_class("ReaderConfig"))[name]
    assert stub_parameters(method) == runtime_parameters(getattr(ReaderConfig, name))


def constructor_keywords():
    """Keyword -> its annotation's text, over both overloads of __new__."""
    overloads = stub_members(stub_class("ReaderConfig"))["__new__"]
    keywords = {}
    for overload in overloads:
        assert not overload.args.vararg and not overload.args.kwarg
        assert [arg.arg for arg in overload.args.args] == ["cls"], "keyword-only constructor"
        for arg in overload.args.kwonlyargs:
            keywords[arg.arg] = ast.unparse(arg.annotation)
    return keywords


def test_constructor_keywords_are_the_eight_the_constructor_sets():
    assert constructor_keywords() == {
        "model_name": "str",
        "device": "str",
        "consumer_group": "str",
        "log_level": "str",
        "cuda_visible_devices": "str | None",
        "max_batch_size": "SupportsIndex | None",
        "tensor_parallel": "SupportsIndex | None",
        "max_sequence_length": "SupportsIndex | None",
    }


@pytest.mark.parametrize("name", [
    name for name in stub_properties(stub_class("ReaderConfig"))
    if name not in ("model_name", "device")])
def test_constructor_sets_exactly_the_stubbed_keywords(name):
    keywords = constructor_keywords()
    if name in keywords:
        value = "0,1" if "str" in keywords[name] else 3
        reader = ReaderConfig(model_name="m", device="cpu", **{name: value})
        assert getattr(reader, name) == value
    else:
        # The runtime ignores keywords it does not set; the stubs leave them
        # out so that a type checker reports them.
        reader = ReaderConfig(model_name="m", device="cpu", **{name: 3})
        assert getattr(reader, name) is None


# --- property types ---------------------------------------------------------------


def reader_with(tmp_path, all_settings):
    lines = []
    for name, node in stub_properties(stub_class("ReaderConfig")).items():
        kind = annotation_type(node.returns)
        if not all_settings and kind in (str,):
            lines.append(f"      {name}: req")
        elif all_settings:
            text = str in getattr(kind, "__args__", (kind,))
            lines.append(f"      {name}: {'t' if text else 7}")
    path = tmp_path / "manifest.yaml"
    path.write_text("corvane:\n  server_config: {}\n  readers_config:\n    r:\n"
                    + "\n".join(lines) + "\n", encoding="utf-8")
    return read_corvane_readers_config(str(path), "r")


def test_property_types_match_the_values_handed_out(tmp_path):
    full = reader_with(tmp_path, all_settings=True)
    minimal = reader_with(tmp_path, all_settings=False)
    for name, node in stub_properties(stub_class("ReaderConfig")).items():
        kind = annotation_type(node.returns)
        allowed = getattr(kind, "__args__", (kind,))
        # Exact classes: an int setting must not come out as a bool.
        assert type(getattr(full, name)) in allowed, name
        assert (getattr(minimal, name) is None) == (type(None) in allowed), name


def test_dict_without_optionals_values_match_the_stub(tmp_path):
    [method] = stub_members(stub_class("ReaderConfig"))["dict_without_optionals"]
    assert ast.unparse(method.returns) == "dict[str, str | int]"
    for key, value in reader_with(tmp_path, all_settings=True).dict_without_optionals().items():
        assert type(key) is str and type(value) in (str, int)


# --- mypy's own comparison of stubs and runtime -------------------------------------


def empty_mypy_config(directory):
    """A config of mypy's defaults, so that no user or project config applies."""
    path = directory / "mypy.ini"
    path.write_text("[mypy]\n")
    return str(path)


def stubtest_environment():
    """stubtest imports the module, so a sanitizer runtime stays preloaded;
    but what mypy itself leaves allocated at exit is no finding about the
    module, so the leak check is off in that process."""
    environment = dict(os.environ)
    if "LD_PRELOAD" in environment:
        options = environment.get("ASAN_OPTIONS", "")
        environment["ASAN_OPTIONS"] = (options + ":" if options else "") + "detect_leaks=0"
    return environment


def test_stubtest_finds_no_difference(tmp_path):
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", empty_mypy_config(tmp_path),
         "corvane_config"],
        capture_output=True, text=True, cwd=tmp_path, timeout=TIMEOUT, env=stubtest_environment())
    print(done.stdout)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found in 1 module" in done.stdout


# --- type checkers ------------------------------------------------------------------


def checker_environment():
    """The environment for mypy and pyright, which never load the module: a
    sanitizer runtime preloaded for the module's sake stays out of them."""
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def marked_lines(path):
    return {
        number
        for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), start=1)
        if "# error" in line
    }


@pytest.fixture(scope="module")
def mypy_errors(tmp_path_factory):
    """File name -> lines mypy --strict reports errors on."""
    work = tmp_path_factory.mktemp("mypy")
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-absolute-path",
         "--cache-dir", str(work / "cache"), "--config-file", empty_mypy_config(work),
         str(EXAMPLE), str(MISUSES)],
        capture_output=True, text=True, cwd=work, timeout=TIMEOUT, env=checker_environment())
    assert done.returncode in (0, 1), done.stdout + done.stderr
    errors = {EXAMPLE.name: {}, MISUSES.name: {}}
    for line in done.stdout.splitlines():
        path, number, kind, *_ = line.split(":", 3) + ["", "", ""]
        if kind.strip() == "error":
            errors[pathlib.Path(path).name].setdefault(int(number), []).append(line)
    return errors


def test_mypy_strict_accepts_the_example(mypy_errors):
    assert mypy_errors[EXAMPLE.name] == {}


def test_mypy_strict_rejects_every_misuse(mypy_errors):
    assert set(mypy_errors[MISUSES.name]) == marked_lines(MISUSES), mypy_errors[MISUSES.name]


@pytest.fixture(scope="module")
def pyright_errors(tmp_path_factory):
    """File name -> lines pyright (strict) reports errors on."""
    if importlib.util.find_spec("pyright") is None:
        pytest.skip("pyright is not installed in this environment (requirements-dev.txt has it)")
    if shutil.which("node") is None:
        pytest.skip("pyright needs Node.js: no `node` on PATH (Debian package nodejs)")
    work = tmp_path_factory.mktemp("pyright")
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         str(EXAMPLE), str(MISUSES)],
        capture_output=True, text=True, cwd=work, timeout=TIMEOUT, env=checker_environment())
    assert done.returncode in (0, 1), done.stdout + done.stderr
    report = json.loads(done.stdout)
    errors = {EXAMPLE.name: {}, MISUSES.name: {}}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] in ("error", "warning"):
            line = diagnostic["range"]["start"]["line"] + 1
            errors[pathlib.Path(diagnostic["file"]).name].setdefault(line, []).append(
                diagnostic["message"])
    return errors


def test_pyright_strict_accepts_the_example(pyright_errors):
    assert pyright_errors[EXAMPLE.name] == {}


def test_pyright_strict_rejects_every_misuse(pyright_errors):
    assert set(pyright_errors[MISUSES.name]) == marked_lines(MISUSES), pyright_errors[MISUSES.name]


# --- the example runs ---------------------------------------------------------------


def test_typing_example_runs(tmp_path):
    manifest = tmp_path / "manifest.yaml"
    shutil.copyfile(ROOT / "examples" / "manifest.yaml", manifest)
    done = subprocess.run([sys.executable, str(EXAMPLE), str(manifest)],
                          capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "typing example: ok\n"
