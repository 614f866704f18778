"""dict_without_optionals: set settings only, cuda_visible_devices never."""

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config


def read_reader(tmp_path, body):
    path = tmp_path / "manifest.yaml"
    indented = "".join(f"      {line}\n" for line in body.strip().splitlines())
    path.write_text(f"corvane:\n  server_config: {{}}\n  readers_config:\n    r1:\n{indented}")
    return read_corvane_readers_config(str(path), "r1")


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, {"model_name": "", "device": "", "consumer_group": ""}),
        (
            {"model_name": "m", "device": "cuda"},
            {"model_name": "m", "device": "cuda", "consumer_group": ""},
        ),
        (
            {"model_name": "m", "device": "cuda", "cuda_visible_devices": "0,1"},
            {"model_name": "m", "device": "cuda", "consumer_group": ""},
        ),
        (
            {"model_name": "m", "device": "cpu", "tensor_parallel": 0},
            {"model_name": "m", "device": "cpu", "consumer_group": "", "tensor_parallel": 0},
        ),
        (
            {"model_name": "m", "device": "cuda", "log_level": ""},
            {"model_name": "m", "device": "cuda", "consumer_group": "", "log_level": ""},
        ),
        (
            {"model_name": "m", "device": "cuda", "max_batch_size": 2**64 - 1},
            {"model_name": "m", "device": "cuda", "consumer_group": "", "max_batch_size": 2**64 - 1},
        ),
        (
            {
                "model_name": "m",
                "device": "cuda",
                "consumer_group": "g",
                "log_level": "info",
                "cuda_visible_devices": "0",
                "max_batch_size": 8,
                "tensor_parallel": 1,
                "max_sequence_length": 2**32 - 1,
            },
            {
                "model_name": "m",
                "device": "cuda",
                "consumer_group": "g",
                "log_level": "info",
                "max_batch_size": 8,
                "tensor_parallel": 1,
                "max_sequence_length": 2**32 - 1,
            },
        ),
        (
            {"model_name": "m", "device": "cuda", "tensor_parallel": None, "max_batch_size": None},
            {"model_name": "m", "device": "cuda", "consumer_group": ""},
        ),
    ],
)
def test_dict_of_constructed_config(kwargs, expected):
    result = ReaderConfig(**kwargs).dict_without_optionals()
    assert type(result) is dict
    assert result == expected
    for key, value in result.items():
        assert type(key) is str
        assert type(value) is type(expected[key])


def test_dict_of_fully_set_config_from_a_manifest(tmp_path):
    reader = read_reader(
        tmp_path,
        """
model_name: m
device: cuda
consumer_group: g
redis_host: r
internal_gateway_ip: 10.0.0.1
access_token: ''
log_level: info
backend: b
cuda_visible_devices: 0,1
max_batch_size: 18446744073709551615
batch_duration_millis: 0
tensor_parallel: 2
quant_type: q
max_sequence_length: 4294967295
nvlink_unavailable: 1
disable_static: 0
disable_cuda_graph: 1
cuda_graph_cache_capacity: 7
disable_paged_attention: 0
page_cache_size: '8'
""",
    )
    assert reader.dict_without_optionals() == {
        "model_name": "m",
        "device": "cuda",
        "consumer_group": "g",
        "redis_host": "r",
        "internal_gateway_ip": "10.0.0.1",
        "access_token": "",
        "log_level": "info",
        "backend": "b",
        "max_batch_size": 18446744073709551615,
        "batch_duration_millis": 0,
        "tensor_parallel": 2,
        "quant_type": "q",
        "max_sequence_length": 4294967295,
        "nvlink_unavailable": 1,
        "disable_static": 0,
        "disable_cuda_graph": 1,
        "cuda_graph_cache_capacity": 7,
        "disable_paged_attention": 0,
        "page_cache_size": "8",
    }


def test_keys_follow_the_declaration_order_of_the_properties(tmp_path):
    reader = read_reader(
        tmp_path,
        "page_cache_size: p\nmax_batch_size: 1\nconsumer_group: g\ndevice: cpu\nmodel_name: m\nbackend: b",
    )
    properties = [
        name
        for name, value in vars(ReaderConfig).items()
        if type(value).__name__ == "getset_descriptor" and name != "__dict__"
    ]
    keys = list(reader.dict_without_optionals())
    assert keys == [name for name in properties if name in keys]
    assert keys == ["model_name", "device", "consumer_group", "backend", "max_batch_size", "page_cache_size"]


def test_switch_values_are_ints_not_bools(tmp_path):
    reader = read_reader(tmp_path, "model_name: m\ndevice: cuda\nconsumer_group: g\nnvlink_unavailable: 1")
    value = reader.dict_without_optionals()["nvlink_unavailable"]
    assert value == 1 and type(value) is int


def test_two_calls_return_equal_independent_dicts():
    reader = ReaderConfig(model_name="m", device="cuda", max_batch_size=4)
    first = reader.dict_without_optionals()
    second = reader.dict_without_optionals()
    assert first == second
    assert first is not second
    first["model_name"] = "changed"
    assert reader.model_name == "m"
    assert reader.dict_without_optionals() == second


def test_dict_ignores_instance_attributes():
    reader = ReaderConfig(model_name="m", device="cuda")
    reader.extra = 1
    assert "extra" not in reader.dict_without_optionals()
