# pyright: strict
"""Misuses of corvane_config that a type checker must reject.

tests/test_stubs.py type-checks this file and expects an error on exactly the
lines that carry an error comment, and on no other line: stubs grown too
loose (a property typed Any, say) would let one through. Never run.
"""

import corvane_config
from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config


class BytesPath:
    def __fspath__(self) -> bytes:
        return b"manifest.yaml"


reader = read_corvane_readers_config("manifest.yaml", "reader-a")

ReaderConfig(model_name="m")  # error: device is required once keywords are given
ReaderConfig(device="cpu")  # error: model_name is required once keywords are given
ReaderConfig("m", "cpu")  # error: keywords only
ReaderConfig(model_name="m", device="cpu", backend="b")  # error: not settable here
ReaderConfig(model_name="m", device="cpu", tensor_paralel=2)  # error: misspelt
ReaderConfig(model_name="m", device="cpu", tensor_parallel=2.0)  # error: not an integer
ReaderConfig(model_name="m", device="cpu", log_level=None)  # error: log_level takes str only
ReaderConfig(model_name=None, device="cpu")  # error: model_name takes str only

reader.model_name = "other"  # error: read-only property
size: int = reader.max_batch_size  # error: may be None
cache: int | None = reader.page_cache_size  # error: text, not a number
flag: bool | None = reader.nvlink_unavailable  # error: an int, not a bool
group: None = reader.consumer_group  # error: always a str
reader.no_such_setting  # error: no such attribute

reader.dict_without_optionals()["model_name"].upper()  # error: the value may be an int
reader.validate("strict")  # error: takes no arguments
reader.add_to_manifest_yaml("manifest.yaml")  # error: reader_id missing
reader.add_to_manifest_yaml(b"manifest.yaml", "r")  # error: path is a str
read_corvane_readers_config(path=1)  # error: path is a str
read_corvane_readers_config("a", "b", "c")  # error: at most two arguments
read_corvane_readers_config(BytesPath(), "r")  # error: a path-like of bytes
reader.add_to_manifest_yaml(BytesPath(), "r")  # error: a path-like of bytes

reader.__replace__(tensor_paralel=2)  # error: misspelt
reader.__replace__(model_name=None)  # error: a required text cannot be unset
reader.__replace__(max_batch_size="8")  # error: not an integer
reader.__replace__(redis_host=1)  # error: texts are str
reader.__replace__("m")  # error: keywords only
reader < reader  # error: readers have no order


class MyReader(ReaderConfig):  # error: final
    pass


class MyApp(AppConfig):  # error: final
    pass
ReaderConfig().add_to_manifest_yaml("m.yaml", "r", True)  # error: keep_layout is keyword-only
corvane_config.read_corvane_readers(b"m.yaml")  # error: bytes are no path
