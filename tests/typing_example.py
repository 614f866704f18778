# pyright: strict
"""Uses every public name of corvane_config, with the types its stubs declare.

tests/test_stubs.py type-checks this file with mypy --strict (and pyright in
strict mode) and also runs it, so the example is both well-typed and true:

    python tests/typing_example.py MANIFEST

MANIFEST must hold reader "reader-a" (as examples/manifest.yaml does); the
script adds a reader "typed" to it.
"""

import pathlib
import pickle
import sys
from typing import NoReturn, assert_type

import corvane_config
from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config


def read(path: str) -> ReaderConfig:
    by_position = read_corvane_readers_config(path, "reader-a")
    by_keyword = read_corvane_readers_config(path=path, reader_id="reader-a")
    assert_type(by_keyword, ReaderConfig)
    assert by_position.dict_without_optionals() == by_keyword.dict_without_optionals()
    return by_position


def read_path_like(path: str) -> ReaderConfig:
    return read_corvane_readers_config(pathlib.Path(path), "reader-a")


def build() -> ReaderConfig:
    empty = ReaderConfig()
    assert_type(empty, ReaderConfig)
    assert empty.model_name == ""
    return ReaderConfig(
        model_name="typed-model",
        device="cuda",
        consumer_group="typed",
        log_level="info",
        cuda_visible_devices="0,1",
        max_batch_size=16,
        tensor_parallel=2,
        max_sequence_length=None,
    )


def every_property(reader: ReaderConfig) -> list[str | int | None]:
    return [
        assert_type(reader.model_name, str),
        assert_type(reader.device, str),
        assert_type(reader.consumer_group, str),
        assert_type(reader.redis_host, str | None),
        assert_type(reader.internal_gateway_ip, str | None),
        assert_type(reader.access_token, str | None),
        assert_type(reader.log_level, str | None),
        assert_type(reader.backend, str | None),
        assert_type(reader.cuda_visible_devices, str | None),
        assert_type(reader.max_batch_size, int | None),
        assert_type(reader.batch_duration_millis, int | None),
        assert_type(reader.tensor_parallel, int | None),
        assert_type(reader.quant_type, str | None),
        assert_type(reader.max_sequence_length, int | None),
        assert_type(reader.nvlink_unavailable, int | None),
        assert_type(reader.disable_static, int | None),
        assert_type(reader.disable_cuda_graph, int | None),
        assert_type(reader.cuda_graph_cache_capacity, int | None),
        assert_type(reader.disable_paged_attention, int | None),
        assert_type(reader.page_cache_size, str | None),
    ]


def batch_size_or_default(reader: ReaderConfig) -> int:
    # An optional setting must be narrowed before use as an int.
    size = reader.max_batch_size
    return 1 if size is None else size


def settings(reader: ReaderConfig) -> dict[str, str | int]:
    result = reader.dict_without_optionals()
    assert_type(result, dict[str, str | int])
    return result


def is_valid(reader: ReaderConfig) -> bool:
    try:
        reader.validate()
    except Exception as error:
        message: str = str(error)
        return not message.startswith("Validation Errors: ")
    return True


def store(reader: ReaderConfig, path: str) -> None:
    reader.add_to_manifest_yaml(path, reader_id="typed")
    reader.add_to_manifest_yaml(pathlib.Path(path), reader_id="typed", keep_layout=True)


def all_readers(path: str) -> dict[str, ReaderConfig]:
    readers = corvane_config.read_corvane_readers(pathlib.Path(path))
    assert_type(readers, dict[str, ReaderConfig])
    return readers


def remove(path: str, reader_id: str) -> None:
    corvane_config.remove_corvane_readers_config(path, reader_id)


def changed(reader: ReaderConfig) -> ReaderConfig:
    result = reader.__replace__(max_batch_size=32, redis_host=None, access_token="t")
    assert_type(result, ReaderConfig)
    return result


def through_pickle(reader: ReaderConfig) -> ReaderConfig:
    restored = pickle.loads(pickle.dumps(reader))
    assert isinstance(restored, ReaderConfig)
    return restored


def distinct(readers: list[ReaderConfig]) -> set[ReaderConfig]:
    return set(readers)


def app_config() -> NoReturn:
    # AppConfig has no constructor: the call always raises TypeError.
    AppConfig()


def is_app_config(value: object) -> bool:
    return isinstance(value, AppConfig)


def main(path: str) -> int:
    names: list[str] = corvane_config.__all__
    assert names == ["ReaderConfig", "AppConfig", "read_corvane_readers_config",
                     "remove_corvane_readers_config", "read_corvane_readers"]

    reader = read(path)
    assert read_path_like(path) == reader
    assert batch_size_or_default(reader) == reader.max_batch_size
    assert len(every_property(reader)) == 20
    assert settings(reader)["model_name"] == reader.model_name
    assert is_valid(reader)

    built = build()
    assert is_valid(built)
    store(built, path)
    assert read_corvane_readers_config(path, "typed").tensor_parallel == 2
    assert not is_valid(ReaderConfig(model_name="m", device="cpu", tensor_parallel=2))
    bigger = changed(built)
    assert bigger != built and bigger.max_batch_size == 32 and built.max_batch_size == 16
    assert through_pickle(bigger) == bigger
    assert distinct([built, through_pickle(built), bigger]) == {built, bigger}
    assert all_readers(path)["typed"] == built
    remove(path, "typed")
    assert "typed" not in all_readers(path)

    try:
        app_config()
    except TypeError as error:
        assert str(error) == "No constructor defined"
    assert not is_app_config(reader)
    print("typing example: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
