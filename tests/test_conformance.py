"""Reference manifests with their exact outcomes, read through the public API
(readers, errors, rewritten text) and through the inspection tool (the server
settings, which Python cannot see)."""

import json
import pathlib
import subprocess

import pytest

import corvane_config
from conftest import CONFORMANCE

PREFIX = "Error Error Serializing/Deserializing:: "
CASES = [json.loads(line) for line in CONFORMANCE.read_text(encoding="utf-8").splitlines()]
FIELDS = list(CASES[0]["lookup"]["readers"]["r1"])


def write_case(tmp_path: pathlib.Path, case) -> pathlib.Path:
    path = tmp_path / "manifest.yaml"
    path.write_bytes(case["yaml"].encode("utf-8"))
    return path


def settings(reader):
    return {name: getattr(reader, name) for name in FIELDS}


@pytest.mark.aarch64_smoke
@pytest.mark.parametrize("case", CASES, ids=[c["id"] for c in CASES])
def test_lookup(tmp_path, case):
    path = write_case(tmp_path, case)
    expected = case["lookup"]
    if not expected["ok"]:
        with pytest.raises(Exception) as caught:
            corvane_config.read_corvane_readers_config(str(path), "r1")
        assert type(caught.value) is Exception
        assert caught.value.args == (PREFIX + expected["error"],)
        return
    for reader_id, values in expected["readers"].items():
        reader = corvane_config.read_corvane_readers_config(str(path), reader_id)
        assert settings(reader) == values


# Documents that may hold aliases are read from their stored events, all
# others as they are parsed; --keep-events reads every case the first way, so
# both ways must give every outcome.
@pytest.mark.parametrize("keep", [[], ["--keep-events"]], ids=["as-needed", "kept"])
@pytest.mark.parametrize("case", CASES, ids=[c["id"] for c in CASES])
def test_lookup_server_settings(tmp_path, case, manifest_dump, keep):
    path = write_case(tmp_path, case)
    seen = json.loads(subprocess.run([manifest_dump, *keep, str(path)], check=True,
                                     capture_output=True).stdout)
    expected = case["lookup"]
    assert seen["lookup"]["ok"] == expected["ok"]
    if expected["ok"]:
        assert seen["lookup"]["readers"] == expected["readers"]
        assert seen["lookup"]["server"] == expected["server"]
    else:
        assert seen["lookup"]["error"] == expected["error"]
    rewrite = case["rewrite"]
    assert seen["rewrite"]["ok"] == rewrite["ok"]
    if not rewrite["ok"]:
        assert seen["rewrite"]["error"] == rewrite["error"]


@pytest.mark.parametrize("case", CASES, ids=[c["id"] for c in CASES])
def test_rewrite(tmp_path, case):
    path = write_case(tmp_path, case)
    before = path.read_bytes()
    expected = case["rewrite"]
    reader = corvane_config.ReaderConfig(model_name="m", device="cpu")
    if not expected["ok"]:
        with pytest.raises(Exception) as caught:
            reader.add_to_manifest_yaml(str(path), "zz-new")
        assert caught.value.args == (PREFIX + expected["error"],)
        assert path.read_bytes() == before
        return
    assert reader.add_to_manifest_yaml(str(path), "zz-new") is None
    assert path.read_bytes().decode("utf-8") == expected["text"]


ZZ_NEW = {name: None for name in FIELDS} | {"model_name": "m", "device": "cpu", "consumer_group": ""}


@pytest.mark.parametrize("case", CASES, ids=[c["id"] for c in CASES])
def test_rewrite_leaves_one_readable_file(tmp_path, case):
    """Beyond the text: a failure leaves the file as it was and nothing beside
    it; a rewritten file reads back as the same readers, and rewriting it once
    more changes nothing."""
    path = write_case(tmp_path, case)
    before = path.stat()
    expected = case["rewrite"]
    reader = corvane_config.ReaderConfig(model_name="m", device="cpu")
    if not expected["ok"]:
        with pytest.raises(Exception) as caught:
            reader.add_to_manifest_yaml(str(path), "zz-new")
        assert type(caught.value) is Exception
        after = path.stat()
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)
        assert [p.name for p in tmp_path.iterdir()] == ["manifest.yaml"]
        return
    reader.add_to_manifest_yaml(str(path), "zz-new")
    assert [p.name for p in tmp_path.iterdir()] == ["manifest.yaml"]
    readers = list((case["lookup"]["readers"] | {"zz-new": ZZ_NEW}).items())
    # Each lookup parses the whole file: a spread of at most ten readers keeps
    # the cases with hundreds of readers fast (the second rewrite below covers
    # them all).
    for reader_id, values in readers[:: max(1, len(readers) // 9)] + readers[-1:]:
        assert settings(corvane_config.read_corvane_readers_config(str(path), reader_id)) == values
    reader.add_to_manifest_yaml(str(path), "zz-new")
    assert path.read_bytes().decode("utf-8") == expected["text"]
