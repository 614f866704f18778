"""The installed distribution's metadata, as package managers and
importlib.metadata see it, agrees with pyproject.toml."""

import importlib.metadata
import pathlib
import tomllib

import pytest

import corvane_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]


def test_version_is_readable_through_importlib_metadata():
    version = importlib.metadata.version("corvane_config")
    assert version == PROJECT["version"]
    assert [int(part) for part in version.split(".")] >= [0, 1, 0]


def test_metadata_fields():
    metadata = importlib.metadata.metadata("corvane_config")
    assert metadata["Name"] == "corvane_config"
    assert metadata["Requires-Python"] == ">=3.12"
    assert metadata["License-Expression"] == "MIT"
    assert "Typing :: Typed" in metadata.get_all("Classifier")
    assert metadata.get_all("Project-URL") is None  # none known


def test_distribution_holds_the_module_the_stubs_and_the_license():
    files = {str(path) for path in importlib.metadata.files("corvane_config")}
    module = pathlib.Path(corvane_config.__file__).name
    assert module in files
    assert "corvane_config-stubs/__init__.pyi" in files
    assert f"corvane_config-{PROJECT['version']}.dist-info/licenses/LICENSE" in files
    # The corvane-config command, its package and the schema file it ships.
    assert {"corvane_config_cli/__main__.py", "corvane_config_cli/manifest.schema.json"} <= files
    scripts = importlib.metadata.entry_points(group="console_scripts", name="corvane-config")
    assert [script.value for script in scripts] == ["corvane_config_cli:main"]


def test_bundled_libyaml_comes_with_its_licence():
    files = {str(path) for path in importlib.metadata.files("corvane_config")}
    if not any(name.startswith("corvane_config.libs/libyaml") for name in files):
        pytest.skip("installed from source: the module uses the system's libyaml")
    licence = "libyaml/copyright"
    assert f"corvane_config-{PROJECT['version']}.dist-info/licenses/{licence}" in files
    assert licence in importlib.metadata.metadata("corvane_config").get_all("License-File")
