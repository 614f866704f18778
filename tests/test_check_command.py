"""The corvane-config command (package corvane_config_cli): `check` on whole
manifests compared line by line and by exit status, `schema` against the
draft-07 meta-schema and the file shipped beside it, the schema's agreement
with what a read accepts over the conformance cases, and the pre-commit hook."""

import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from manifests import manifest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CASES = ROOT / "tests" / "data" / "yaml_cases.jsonl"
PREFIX = "Error Error Serializing/Deserializing:: "
# Under AddressSanitizer the third-party tools add nothing but minutes (and
# their own interpreter-level leaks at exit): the schema agreement and the
# pre-commit check are not about the module's memory.
UNDER_SANITIZER = "asan" in os.environ.get("LD_PRELOAD", "")
FAILS = " (every read of this file fails)"


def reader(name, extra=""):
    return (f"    {name}:\n      model_name: m\n      device: cuda\n      consumer_group: g\n"
            + extra)


MANIFESTS = {
    "clean.yaml": (ROOT / "examples" / "manifest.yaml").read_text(encoding="utf-8"),
    "syntax.yaml": manifest(reader("r1")) + "  - broken\n",
    "no_section.yaml": manifest(reader("r1"), section="other"),
    "type_errors.yaml": manifest(
        reader("r1") + reader("r2", "      max_batch_size: lots\n") + reader("r3")
        + reader("r4", "      tensor_parallel: -1\n") + reader("r5")),
    "other_section.yaml": manifest(reader("r1")) + manifest(
        reader("r9", "      max_sequence_length: 1.5\n"), section="staging"),
    "invalid.yaml": manifest(reader("r1") + reader(
        "r2", "      tensor_parallel: 3\n      cuda_visible_devices: a,b\n")),
    "incomplete.yaml": "corvane:\n  server_config:\n    port: 1\n  readers_config:\n"
                       + reader("r1"),
}

# (arguments, exit status, exact standard output)
RUNS = {
    "clean": (["check", "clean.yaml"], 0, "1 manifest, 2 readers, 0 findings\n"),
    "syntax error": (["check", "syntax.yaml"], 1, (
        f"syntax.yaml:20:3: {PREFIX}did not find expected key at line 20 column 3, while "
        f"parsing a block mapping at line 2 column 3{FAILS}\n"
        "1 manifest, 1 reader, 1 finding\n")),
    "no corvane section": (["check", "no_section.yaml"], 1, (
        f"no_section.yaml:1:1: {PREFIX}No corvane key found in manifest{FAILS}\n"
        "1 manifest, 0 readers, 1 finding\n")),
    "type errors between clean readers": (["check", "type_errors.yaml"], 1, (
        f"type_errors.yaml:24:23: r2: {PREFIX}corvane.readers_config.r2.max_batch_size: "
        f'invalid type: string "lots", expected u64 at line 24 column 23{FAILS}\n'
        f"type_errors.yaml:33:24: r4: {PREFIX}corvane.readers_config.r4.tensor_parallel: "
        f"invalid type: integer `-1`, expected u32 at line 33 column 24{FAILS}\n"
        "1 manifest, 5 readers, 2 findings\n")),
    "data error in another section": (["check", "other_section.yaml"], 1, (
        f"other_section.yaml:39:28: r9: {PREFIX}staging.readers_config.r9.max_sequence_length:"
        f" invalid type: floating point `1.5`, expected u32 at line 39 column 28{FAILS}\n"
        "1 manifest, 1 reader, 1 finding\n")),
    "validate findings": (["check", "invalid.yaml"], 1, (
        "invalid.yaml:20:5: r2: tensor_parallel: If providing cuda_visible_devices, "
        "tensor_parallel cannot be larger than the number of devices provided\n"
        "invalid.yaml:20:5: r2: tensor_parallel: tensor_parallel must be 1 or even, if "
        "specified.\n"
        "invalid.yaml:20:5: r2: cuda_visible_devices: cuda_visible_devices must be a comma "
        "separated string of integers like '0,1'\n"
        "1 manifest, 2 readers, 3 findings\n")),
    "incomplete server_config": (["check", "incomplete.yaml"], 1, (
        f"incomplete.yaml:3:5: {PREFIX}corvane.server_config: missing field `echo` at line 3 "
        "column 5 (add_to_manifest_yaml refuses this file)\n"
        "1 manifest, 1 reader, 1 finding\n")),
    "several files": (["check", "clean.yaml", "missing.yaml", "incomplete.yaml"], 1, (
        f"missing.yaml:1:1: File Not Found on path: missing.yaml{FAILS}\n"
        f"incomplete.yaml:3:5: {PREFIX}corvane.server_config: missing field `echo` at line 3 "
        "column 5 (add_to_manifest_yaml refuses this file)\n"
        "3 manifests, 3 readers, 2 findings\n")),
    "json": (["check", "--format", "json", "clean.yaml", "type_errors.yaml"], 1, json.dumps([
        {"path": "type_errors.yaml", "line": 24, "column": 23, "reader_id": "r2", "kind": "read",
         "message": PREFIX + "corvane.readers_config.r2.max_batch_size: invalid type: string "
                    '"lots", expected u64 at line 24 column 23'},
        {"path": "type_errors.yaml", "line": 33, "column": 24, "reader_id": "r4", "kind": "read",
         "message": PREFIX + "corvane.readers_config.r4.tensor_parallel: invalid type: integer "
                    "`-1`, expected u32 at line 33 column 24"},
    ], indent=2) + "\n"),
    "json, clean": (["check", "--format=json", "clean.yaml"], 0, "[]\n"),
    "standard input": (["check", "-", "clean.yaml"], 0, "2 manifests, 4 readers, 0 findings\n"),
    "standard input, findings": (["check", "-"], 1, (
        f"-:3:5: {PREFIX}corvane.server_config: missing field `echo` at line 3 "
        "column 5 (add_to_manifest_yaml refuses this file)\n"
        "1 manifest, 1 reader, 1 finding\n")),
    "no command": ([], 2, ""),
    "no manifest": (["check"], 2, ""),
    "unknown format": (["check", "--format", "xml", "clean.yaml"], 2, ""),
}


# What `-` reads: the file on standard input.
STDIN = {"standard input": "clean.yaml", "standard input, findings": "incomplete.yaml"}


def run(arguments, cwd, command=(sys.executable, "-m", "corvane_config_cli"), stdin=None):
    with open(cwd / stdin if stdin else os.devnull, "rb") as given:
        return subprocess.run([*command, *arguments], cwd=cwd, capture_output=True, text=True,
                              timeout=120, stdin=given)


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    base = tmp_path_factory.mktemp("manifests")
    for name, text in MANIFESTS.items():
        (base / name).write_text(text, encoding="utf-8")
    return base


@pytest.mark.parametrize("name", RUNS)
def test_check_command(folder, name):
    arguments, status, output = RUNS[name]
    done = run(arguments, folder, stdin=STDIN.get(name))
    assert (done.returncode, done.stdout) == (status, output), done.stderr
    assert (done.stderr == "") == (status != 2)


# How the command ends when its output cannot be written, or it fails itself:
# a shell line (the command is $CHECK) -> (exit status, exact standard error).
COMMAND = f"{sys.executable} -m corvane_config_cli"
ENDS = {
    # Enough findings to fill the pipe: head goes before the command is done.
    "closed pipe": ("$CHECK check $(printf 'syntax.yaml %.0s' $(seq 3000)) | head -1 >/dev/null;"
                    " exit ${PIPESTATUS[0]}", 1, ""),
    "full disk": ("$CHECK check clean.yaml >/dev/full", 2,
                  "corvane-config: cannot write the output: No space left on device\n"),
    "closed standard output": ("$CHECK check clean.yaml >&-", 2,
                               "corvane-config: cannot write the output: Bad file descriptor\n"),
    "unexpected exception": (
        f"{sys.executable} -c 'import sys, corvane_config, corvane_config_cli as c;"
        " corvane_config._check_manifest = None; sys.exit(c.main([\"check\", \"clean.yaml\"]))'",
        2, "corvane-config: internal error: TypeError: 'NoneType' object is not callable\n"),
}


@pytest.mark.parametrize("name", ENDS)
def test_check_command_ends(folder, name):
    line, status, error = ENDS[name]
    done = subprocess.run(["bash", "-c", line], cwd=folder, capture_output=True, text=True,
                          timeout=120, env=dict(os.environ, CHECK=COMMAND))
    assert (done.returncode, done.stderr) == (status, error)


def test_each_read_fails_as_the_check_says(folder):
    """The messages of the check are those a read raises: the first finding
    of a file that does not read is what every read of it raises."""
    from corvane_config import read_corvane_readers_config
    for name in MANIFESTS:
        done = run(["check", "--format", "json", name], folder)
        findings = [f for f in json.loads(done.stdout) if f["kind"] == "read"]
        try:
            read_corvane_readers_config(str(folder / name), "r1")
            raised = None
        except Exception as error:  # noqa: BLE001 - the module raises Exception
            raised = None if str(error).startswith("Invalid Value: No reader") else str(error)
        assert raised == (findings[0]["message"] if findings else None), name


# --- the schema ---------------------------------------------------------------------


def shipped_schema_files():
    import corvane_config_cli
    return [ROOT / "src" / "corvane_config_cli" / "manifest.schema.json",
            pathlib.Path(corvane_config_cli.__file__).parent / "manifest.schema.json"]


def test_schema_command_prints_the_shipped_draft_07_schema(tmp_path):
    jsonschema = pytest.importorskip("jsonschema")
    done = run(["schema"], tmp_path)
    assert done.returncode == 0, done.stderr
    jsonschema.Draft7Validator.check_schema(json.loads(done.stdout))
    for path in shipped_schema_files():
        assert path.read_text(encoding="utf-8") == done.stdout, (
            f"{path} is stale: regenerate it with `corvane-config schema > {path.name}`")


# Why the module refuses a document that the schema accepts, by the module's
# message: what a JSON Schema cannot see once a YAML loader has built the data.
REFUSAL_CLASSES = {
    "aliases": r"recursion limit|repetition limit|unknown anchor",
    "duplicate setting keys": r"duplicate field",
    "integer forms a YAML loader takes as numbers": (
        r'invalid type: (string "[-+0-9a-fA-Fxob_.]+"|floating point `[-0-9.e]+`), expected '
        r"(u16|u32|u64|usize)"),
    "keys that are not scalars": r"invalid type: (sequence|map), expected (a string|field "
                                 r"identifier)",
    "null written where only an empty value reads": r"invalid type: unit value, expected a map",
}


def refusal_class(case):
    if "<<:" in case["yaml"]:  # the tool merges; the module reads "<<" as a key
        return "merge keys"
    message = case["lookup"]["error"]
    for name, pattern in REFUSAL_CLASSES.items():
        if re.search(pattern, message):
            return name
    return "unexplained: " + message


@pytest.mark.skipif(UNDER_SANITIZER, reason="third-party tool, not the module's memory")
def test_schema_agrees_with_what_a_read_accepts(tmp_path):
    """Every conformance case that reads cleanly and that check-jsonschema can
    load is accepted by the schema; the rest is counted by reason."""
    parsers = pytest.importorskip("check_jsonschema.parsers")
    tool = shutil.which("check-jsonschema", path=str(pathlib.Path(sys.executable).parent))
    if tool is None:
        pytest.skip("check-jsonschema is not installed (requirements-dev.txt)")
    schema = shipped_schema_files()[0]
    import corvane_config
    cases = [json.loads(line) for line in CASES.read_text(encoding="utf-8").splitlines()]
    loader = parsers.ParserSet()
    paths, unloadable = {}, {}
    for case in cases:
        path = tmp_path / f"{case['id']}.yaml"
        path.write_bytes(case["yaml"].encode("utf-8"))
        try:  # the tool's own loader, as it loads before it validates
            loader.parse_file(path, "yaml")
            paths[case["id"]] = path
        except Exception as error:  # noqa: BLE001 - the loader's own errors, crashes too
            cause = error.__cause__ or error
            unloadable[case["id"]] = f"{type(cause).__name__}: {str(cause).splitlines()[0]}"
    done = subprocess.run([tool, "--output-format", "json", "--schemafile", str(schema),
                           *map(str, paths.values())], capture_output=True, text=True,
                          timeout=300)
    result = json.loads(done.stdout)
    assert result.get("parse_errors", []) == []
    refused = {pathlib.Path(error["filename"]).stem for error in result["errors"]}

    accepted, not_loaded, loaded_otherwise, tagged, by_class = 0, {}, [], [], {}
    for case in cases:
        count, findings = corvane_config._check_manifest(str(tmp_path / f"{case['id']}.yaml"))
        reads = not any(kind == "read" for _, _, _, kind, _ in findings)
        lookup = case["lookup"]
        # The check and the recorded reads agree on which cases read.
        assert reads == (lookup["ok"] or lookup["error"].startswith("Invalid Value: No reader"))
        if case["id"] in unloadable:
            if reads:
                not_loaded[case["id"]] = unloadable[case["id"]]
            continue
        schema_accepts = case["id"] not in refused
        if reads and schema_accepts:
            accepted += 1
            if any(kind == "validate" for _, _, _, kind, _ in findings):
                by_class.setdefault("cross-field rules of validate()", []).append(case["id"])
        elif reads and re.search(r":\s+!!str\s+\+?[0-9]", case["yaml"]):
            # A number tagged !!str reads as the number; the tool's loader hands
            # over the string, as for a quoted numeral, which a read refuses.
            tagged.append(case["id"])
        elif reads:
            # The tool applies YAML merge keys; the module reads "<<" as a reader id.
            loaded_otherwise.append(case["id"])
            assert "<<:" in case["yaml"], f"{case['id']} reads but the schema refuses it"
        elif schema_accepts:
            by_class.setdefault(refusal_class(case), []).append(case["id"])
    print(f"\n{accepted} cases read and accepted by the schema")
    print(f"{len(not_loaded)} cases read but check-jsonschema cannot load them:")
    for case_id, reason in sorted(not_loaded.items()):
        print(f"  {case_id}: {reason}")
    print(f"{len(loaded_otherwise)} loaded differently (merge key): {loaded_otherwise}")
    print(f"{len(tagged)} read but refused by the schema (numbers tagged !!str): {tagged}")
    print("refused by the module (or validate()) but accepted by the schema:")
    for name, ids in sorted(by_class.items()):
        print(f"  {len(ids)} {name}")
    assert accepted > 200
    assert not [name for name in by_class if name.startswith("unexplained")], by_class


# --- the pre-commit hook -------------------------------------------------------------


@pytest.mark.long
@pytest.mark.skipif(UNDER_SANITIZER, reason="third-party tool, not the module's memory")
def test_pre_commit_hook(tmp_path):
    """The hook of .pre-commit-hooks.yaml, installed by pre-commit from this
    repository (a build from source), and its `language: system` variant,
    each on the example manifest and on a faulty one."""
    bin_folder = str(pathlib.Path(sys.executable).parent)
    pre_commit = shutil.which("pre-commit", path=bin_folder)
    if pre_commit is None or shutil.which("git") is None:
        pytest.skip("pre-commit (requirements-dev.txt) and git are needed")
    repo = tmp_path / "repo"
    repo.mkdir()
    (repo / "manifest.yaml").write_text(MANIFESTS["clean.yaml"], encoding="utf-8")
    (repo / "faulty-manifest.yaml").write_text(MANIFESTS["type_errors.yaml"], encoding="utf-8")
    (repo / ".pre-commit-config.yaml").write_text(
        "repos:\n- repo: local\n  hooks:\n  - id: corvane-config-check\n"
        "    name: corvane-config check\n    entry: corvane-config check\n"
        "    language: system\n    files: manifest\\.yaml$\n", encoding="utf-8")
    environment = {"PATH": bin_folder + ":/usr/bin:/bin", "HOME": str(tmp_path),
                   "PRE_COMMIT_HOME": str(tmp_path / "cache")}
    for command in (["git", "init", "-q"], ["git", "add", "."]):
        subprocess.run(command, cwd=repo, check=True, env=environment)
    finding = (f"faulty-manifest.yaml:24:23: r2: {PREFIX}corvane.readers_config.r2."
               f'max_batch_size: invalid type: string "lots", expected u64 at line 24 column 23')
    for hook in (["try-repo", str(ROOT), "corvane-config-check"], ["run"]):
        for files, status in ((["manifest.yaml"], 0),
                              (["manifest.yaml", "faulty-manifest.yaml"], 1)):
            done = subprocess.run([pre_commit, *hook, "--files", *files], cwd=repo,
                                  capture_output=True, text=True, env=environment,
                                  timeout=1200)
            assert done.returncode == status, done.stdout + done.stderr
            assert (finding in done.stdout) == (status == 1), done.stdout
