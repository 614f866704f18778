"""ReaderConfig(**kwargs): conversions, None handling, order and checks."""

import pytest

from corvane_config import ReaderConfig

VALID = {"model_name": "m", "device": "cuda"}
U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1


class Index:
    """An integer-like object through the interpreter's index protocol."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Text(str):
    pass


class Number(int):
    pass


def settings(reader):
    return {name: getattr(reader, name) for name in ALL_SETTINGS}


ALL_SETTINGS = [
    name
    for name, value in vars(ReaderConfig).items()
    if type(value).__name__ == "getset_descriptor" and name != "__dict__"
]


def test_no_keywords_gives_empty_texts_and_absent_settings():
    reader = ReaderConfig()
    assert (reader.model_name, reader.device, reader.consumer_group) == ("", "", "")
    assert all(getattr(reader, name) is None for name in ALL_SETTINGS[3:])


def test_unpacked_empty_dict_behaves_like_no_keywords():
    assert settings(ReaderConfig(**{})) == settings(ReaderConfig())


# key, value given, value stored
@pytest.mark.parametrize(
    "key, value, stored",
    [
        ("model_name", "llama", "llama"),
        ("model_name", "  spaced  ", "  spaced  "),
        ("model_name", Text("sub"), "sub"),
        ("model_name", "modèle ✓ 🚀", "modèle ✓ 🚀"),
        ("model_name", "nul\0inside", "nul\0inside"),
        ("consumer_group", "group-a", "group-a"),
        ("consumer_group", "", ""),
        ("log_level", "INFO", "INFO"),
        ("log_level", "", ""),
        ("cuda_visible_devices", "0,1", "0,1"),
        ("cuda_visible_devices", "", ""),
        ("cuda_visible_devices", "not a list", "not a list"),
        ("cuda_visible_devices", None, None),
        ("max_batch_size", 0, 0),
        ("max_batch_size", 32, 32),
        ("max_batch_size", U64_MAX, U64_MAX),
        ("max_batch_size", True, 1),
        ("max_batch_size", False, 0),
        ("max_batch_size", Number(7), 7),
        ("max_batch_size", Index(9), 9),
        ("max_batch_size", Index(U64_MAX), U64_MAX),
        ("max_batch_size", None, None),
        ("tensor_parallel", 0, 0),
        ("tensor_parallel", 3, 3),
        ("tensor_parallel", U32_MAX, U32_MAX),
        ("tensor_parallel", True, 1),
        ("tensor_parallel", Index(2), 2),
        ("tensor_parallel", None, None),
        ("max_sequence_length", 4096, 4096),
        ("max_sequence_length", U32_MAX, U32_MAX),
        ("max_sequence_length", False, 0),
        ("max_sequence_length", None, None),
    ],
)
def test_recognised_key_conversion(key, value, stored):
    reader = ReaderConfig(**{**VALID, key: value})
    assert getattr(reader, key) == stored
    assert type(getattr(reader, key)) is type(stored)


@pytest.mark.parametrize("device", ["cpu", "cuda"])
def test_accepted_devices(device):
    assert ReaderConfig(model_name="m", device=device).device == device


# Keys that name settings but are not taken by the constructor, and keys that
# name nothing: ignored whatever their value.
IGNORED = [
    "redis_host",
    "internal_gateway_ip",
    "access_token",
    "backend",
    "batch_duration_millis",
    "quant_type",
    "nvlink_unavailable",
    "disable_static",
    "disable_cuda_graph",
    "cuda_graph_cache_capacity",
    "disable_paged_attention",
    "page_cache_size",
    "Model_Name",
    "unknown",
]


@pytest.mark.parametrize("key", IGNORED)
@pytest.mark.parametrize("value", ["text", 3, None, object(), -1, 2**80])
def test_unrecognised_keys_are_ignored(key, value):
    reader = ReaderConfig(**{**VALID, key: value})
    if hasattr(ReaderConfig, key):
        assert getattr(reader, key) is None
    assert settings(reader) == settings(ReaderConfig(**VALID))


def test_backend_and_redis_host_stay_absent():
    reader = ReaderConfig(model_name="m", device="cpu", backend="vllm", redis_host="h")
    assert reader.backend is None
    assert reader.redis_host is None


def test_unencodable_unknown_key_is_ignored():
    reader = ReaderConfig(**{**VALID, "\udc80": 1})
    assert reader.model_name == "m"


def conversion_text(type_name):
    return f"'{type_name}' object cannot be converted to 'PyString'"


RANGE = "out of range integral type conversion attempted"

# kwargs (in the order written), exception class, exact message (None: the
# interpreter's own text, only the class is fixed)
FAILURES = [
    pytest.param({"model_name": 5, **{"device": "cuda"}}, TypeError, conversion_text("int"), id="model_name-int"),
    pytest.param({"model_name": None, "device": "cuda"}, TypeError, conversion_text("NoneType"), id="model_name-None"),
    pytest.param({"model_name": b"m", "device": "cuda"}, TypeError, conversion_text("bytes"), id="model_name-bytes"),
    pytest.param({"model_name": "m", "device": None}, TypeError, conversion_text("NoneType"), id="device-None"),
    pytest.param({"model_name": "m", "device": ["cuda"]}, TypeError, conversion_text("list"), id="device-list"),
    pytest.param({**VALID, "consumer_group": None}, TypeError, conversion_text("NoneType"), id="consumer_group-None"),
    pytest.param({**VALID, "consumer_group": 1.5}, TypeError, conversion_text("float"), id="consumer_group-float"),
    pytest.param({**VALID, "log_level": None}, TypeError, conversion_text("NoneType"), id="log_level-None"),
    pytest.param({**VALID, "log_level": 10}, TypeError, conversion_text("int"), id="log_level-int"),
    pytest.param({**VALID, "cuda_visible_devices": 0}, TypeError, conversion_text("int"), id="cvd-int"),
    pytest.param({**VALID, "cuda_visible_devices": (0, 1)}, TypeError, conversion_text("tuple"), id="cvd-tuple"),
    pytest.param({**VALID, "tensor_parallel": -1}, OverflowError, RANGE, id="tp-minus-1"),
    pytest.param({**VALID, "tensor_parallel": 2**32}, OverflowError, RANGE, id="tp-2**32"),
    pytest.param({**VALID, "tensor_parallel": -(2**63)}, OverflowError, RANGE, id="tp-i64-min"),
    pytest.param({**VALID, "tensor_parallel": 2**63 - 1}, OverflowError, RANGE, id="tp-i64-max"),
    pytest.param({**VALID, "max_sequence_length": -5}, OverflowError, RANGE, id="msl-negative"),
    pytest.param({**VALID, "max_sequence_length": 2**40}, OverflowError, RANGE, id="msl-2**40"),
    pytest.param({**VALID, "max_sequence_length": Index(-1)}, OverflowError, RANGE, id="msl-index-negative"),
    pytest.param({**VALID, "tensor_parallel": 2**63}, OverflowError, None, id="tp-beyond-i64"),
    pytest.param({**VALID, "max_sequence_length": -(2**64)}, OverflowError, None, id="msl-beyond-i64"),
    pytest.param({**VALID, "tensor_parallel": 2.0}, TypeError, None, id="tp-float"),
    pytest.param({**VALID, "tensor_parallel": "2"}, TypeError, None, id="tp-str"),
    pytest.param({**VALID, "max_sequence_length": 1.5}, TypeError, None, id="msl-float"),
    pytest.param({**VALID, "max_batch_size": -1}, OverflowError, None, id="mbs-negative"),
    pytest.param({**VALID, "max_batch_size": 2**64}, OverflowError, None, id="mbs-2**64"),
    pytest.param({**VALID, "max_batch_size": Index(-3)}, OverflowError, None, id="mbs-index-negative"),
    pytest.param({**VALID, "max_batch_size": 8.0}, TypeError, None, id="mbs-float"),
    pytest.param({**VALID, "max_batch_size": "8"}, TypeError, None, id="mbs-str"),
    pytest.param({"device": "cuda"}, TypeError, "model_name cannot be empty", id="only-device"),
    pytest.param({"model_name": "", "device": "cpu"}, TypeError, "model_name cannot be empty", id="empty-model"),
    pytest.param({"consumer_group": "g"}, TypeError, "model_name cannot be empty", id="neither-key"),
    pytest.param({"unknown": 1}, TypeError, "model_name cannot be empty", id="only-unknown-key"),
    pytest.param({"model_name": "m"}, TypeError, "device must be either 'cpu' or 'cuda'", id="only-model"),
    pytest.param({"model_name": "m", "device": "api"}, TypeError, "device must be either 'cpu' or 'cuda'", id="device-api"),
    pytest.param({"model_name": "m", "device": "CUDA"}, TypeError, "device must be either 'cpu' or 'cuda'", id="device-upper"),
    pytest.param({"model_name": "m", "device": " cpu"}, TypeError, "device must be either 'cpu' or 'cuda'", id="device-space"),
    pytest.param({"model_name": "m", "device": ""}, TypeError, "device must be either 'cpu' or 'cuda'", id="device-empty"),
    pytest.param({"model_name": "m", "device": "gpu"}, TypeError, "device must be either 'cpu' or 'cuda'", id="device-gpu"),
]


@pytest.mark.parametrize("kwargs, error, message", FAILURES)
def test_failures(kwargs, error, message):
    with pytest.raises(error) as raised:
        ReaderConfig(**kwargs)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


def test_interpreter_conversion_texts_pass_unchanged():
    with pytest.raises(TypeError) as raised:
        ReaderConfig(**VALID, tensor_parallel=2.0)
    assert str(raised.value) == "'float' object cannot be interpreted as an integer"
    with pytest.raises(OverflowError) as raised:
        ReaderConfig(**VALID, max_batch_size=-1)
    assert str(raised.value) == "can't convert negative int to unsigned"


@pytest.mark.parametrize(
    "kwargs, type_name",
    [
        ({"model_name": 5, "device": None}, "int"),
        ({"device": None, "model_name": 5}, "NoneType"),
        ({"tensor_parallel": -1, "log_level": None}, None),
        ({"log_level": None, "tensor_parallel": -1}, "NoneType"),
    ],
)
def test_first_bad_value_in_keyword_order_is_reported(kwargs, type_name):
    with pytest.raises((TypeError, OverflowError)) as raised:
        ReaderConfig(**kwargs)
    if type_name is None:
        assert str(raised.value) == RANGE
    else:
        assert str(raised.value) == conversion_text(type_name)


def test_conversion_errors_come_before_the_checks():
    with pytest.raises(TypeError) as raised:
        ReaderConfig(device="gpu", log_level=3)
    assert str(raised.value) == conversion_text("int")


def test_lone_surrogate_raises_the_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        ReaderConfig(model_name="\ud800", device="cuda")


def test_index_error_passes_unchanged():
    class Broken:
        def __index__(self):
            raise ValueError("broken index")

    with pytest.raises(ValueError, match="broken index"):
        ReaderConfig(**VALID, max_batch_size=Broken())
    with pytest.raises(ValueError, match="broken index"):
        ReaderConfig(**VALID, tensor_parallel=Broken())


@pytest.mark.parametrize("count", [1, 2, 3])
def test_positional_arguments_are_refused(count):
    word = "was" if count == 1 else "were"
    with pytest.raises(TypeError) as raised:
        ReaderConfig(*(["m"] * count))
    assert str(raised.value) == (
        f"ReaderConfig.__new__() takes 0 positional arguments but {count} {word} given"
    )


def test_positional_refusal_comes_before_keywords():
    with pytest.raises(TypeError) as raised:
        ReaderConfig("m", model_name=5)
    assert "takes 0 positional arguments but 1 was given" in str(raised.value)


def test_no_check_on_combinations():
    reader = ReaderConfig(
        model_name="m", device="cpu", tensor_parallel=3, cuda_visible_devices="x", log_level="any"
    )
    assert (reader.tensor_parallel, reader.cuda_visible_devices, reader.log_level) == (3, "x", "any")


def test_dunder_new_builds_an_instance():
    reader = ReaderConfig.__new__(ReaderConfig, model_name="m", device="cpu")
    assert type(reader) is ReaderConfig
    assert reader.device == "cpu"
