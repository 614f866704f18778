"""The `path` of read_corvane_readers_config and add_to_manifest_yaml may be
an os.PathLike whose __fspath__ returns a str; everything else that is not a
str keeps the argument error, naming the argument's own type."""

import pathlib
import shutil

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLE = ROOT / "examples" / "manifest.yaml"


class FreshText:
    """A path-like whose text is built anew on every call, so only the
    module's own reference keeps it alive."""

    def __init__(self, path):
        self.parts = list(str(path))

    def __fspath__(self):
        return "".join(self.parts)


class StrSubclass(str):
    pass


class Returning:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


class Raising:
    def __init__(self, error):
        self.error = error

    def __fspath__(self):
        raise self.error


PATH_LIKES = {
    "Path": pathlib.Path,
    "PurePosixPath": pathlib.PurePosixPath,
    "fresh text": FreshText,
    "str subclass": lambda path: StrSubclass(str(path)),
    "returns a str subclass": lambda path: Returning(StrSubclass(str(path))),
}


@pytest.fixture
def manifest(tmp_path):
    return shutil.copyfile(EXAMPLE, tmp_path / "manifest.yaml")


def reader():
    return ReaderConfig(model_name="m", device="cpu", max_batch_size=4)


@pytest.mark.parametrize("kind", list(PATH_LIKES))
def test_read_takes_a_path_like(manifest, kind):
    wrapped = PATH_LIKES[kind](manifest)
    by_position = read_corvane_readers_config(wrapped, "reader-a")
    by_keyword = read_corvane_readers_config(path=wrapped, reader_id="reader-a")
    assert by_position == by_keyword == read_corvane_readers_config(str(manifest), "reader-a")


@pytest.mark.parametrize("kind", list(PATH_LIKES))
def test_add_takes_a_path_like(manifest, kind):
    reader().add_to_manifest_yaml(PATH_LIKES[kind](manifest), "new")
    reader().add_to_manifest_yaml(path=PATH_LIKES[kind](manifest), reader_id="newer")
    assert read_corvane_readers_config(str(manifest), "new") == reader()
    assert read_corvane_readers_config(str(manifest), "newer") == reader()


@pytest.mark.parametrize("call", [
    lambda path: read_corvane_readers_config(path, "reader-a"),
    lambda path: reader().add_to_manifest_yaml(path, "r"),
])
def test_messages_show_the_text_of_the_path(tmp_path, call):
    missing = tmp_path / "missing-ü.yaml"
    with pytest.raises(Exception) as raised:
        call(missing)
    assert type(raised.value) is Exception
    assert str(raised.value) == f"File Not Found on path: {missing}"


REFUSED = {
    "bytes": (b"manifest.yaml", "bytes"),
    "path-like of bytes": (Returning(b"manifest.yaml"), "Returning"),
    "path-like of an int": (Returning(3), "Returning"),
    "path-like of None": (Returning(None), "Returning"),
    "path-like raising TypeError": (Raising(TypeError("inner")), "Raising"),
    "int": (7, "int"),
    "None": (None, "NoneType"),
    "list": (["manifest.yaml"], "list"),
}


@pytest.mark.parametrize("kind", list(REFUSED))
def test_other_objects_keep_the_argument_error(kind):
    value, type_name = REFUSED[kind]
    expected = f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"
    with pytest.raises(TypeError) as raised:
        read_corvane_readers_config(value, "reader-a")
    assert str(raised.value) == expected
    with pytest.raises(TypeError) as raised:
        reader().add_to_manifest_yaml(value, "r")
    assert str(raised.value) == expected


def test_the_path_is_checked_before_the_reader_id():
    with pytest.raises(TypeError, match="^argument 'path': 'Returning' object"):
        read_corvane_readers_config(Returning(b"x"), 5)


def test_reader_id_stays_a_str_only(manifest):
    with pytest.raises(TypeError, match="^argument 'reader_id': 'PosixPath' object"):
        read_corvane_readers_config(manifest, pathlib.Path("reader-a"))


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyboardInterrupt()])
def test_an_error_raised_by_fspath_passes_unchanged(error):
    with pytest.raises(type(error)) as raised:
        read_corvane_readers_config(Raising(error), "reader-a")
    assert raised.value is error
    with pytest.raises(type(error)) as raised:
        reader().add_to_manifest_yaml(Raising(error), "r")
    assert raised.value is error


def test_lone_surrogates_from_fspath_raise_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        read_corvane_readers_config(Returning("\ud800.yaml"), "reader-a")
