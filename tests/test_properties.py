"""The twenty read-only properties of ReaderConfig and their Python types."""

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config

# The one place that spells out the settings: name and Python type, in
# declaration order.
EXPECTED = [
    ("model_name", str),
    ("device", str),
    ("consumer_group", str),
    ("redis_host", str),
    ("internal_gateway_ip", str),
    ("access_token", str),
    ("log_level", str),
    ("backend", str),
    ("cuda_visible_devices", str),
    ("max_batch_size", int),
    ("batch_duration_millis", int),
    ("tensor_parallel", int),
    ("quant_type", str),
    ("max_sequence_length", int),
    ("nvlink_unavailable", int),
    ("disable_static", int),
    ("disable_cuda_graph", int),
    ("cuda_graph_cache_capacity", int),
    ("disable_paged_attention", int),
    ("page_cache_size", str),
]
NAMES = [name for name, _ in EXPECTED]
REQUIRED = NAMES[:3]
OPTIONAL = NAMES[3:]
TEXTS = [name for name, kind in EXPECTED if kind is str]
INTEGERS = [name for name, kind in EXPECTED if kind is int]


def property_names():
    return [
        name
        for name, value in vars(ReaderConfig).items()
        if type(value).__name__ == "getset_descriptor" and name != "__dict__"
    ]


def read_reader(tmp_path, body):
    path = tmp_path / "manifest.yaml"
    indented = "".join(f"      {line}\n" for line in body.strip().splitlines())
    path.write_text(f"corvane:\n  server_config: {{}}\n  readers_config:\n    r1:\n{indented}")
    return read_corvane_readers_config(str(path), "r1")


def full_section():
    lines = []
    for index, (name, kind) in enumerate(EXPECTED):
        value = f"'text-{index}'" if kind is str else str(index + 1)
        lines.append(f"{name}: {value}")
    return "\n".join(lines)


def test_properties_are_the_twenty_settings_in_declaration_order():
    assert property_names() == NAMES


@pytest.mark.parametrize("name", NAMES)
def test_property_is_read_only_with_empty_doc(name):
    descriptor = vars(ReaderConfig)[name]
    assert descriptor.__doc__ == ""
    reader = ReaderConfig(model_name="m", device="cuda")
    before = getattr(reader, name)
    with pytest.raises(AttributeError):
        setattr(reader, name, before)
    with pytest.raises(AttributeError):
        delattr(reader, name)
    assert getattr(reader, name) == before


def test_assigning_model_name_keeps_the_old_text():
    reader = ReaderConfig(model_name="old", device="cpu")
    with pytest.raises(AttributeError):
        reader.model_name = "new"
    assert reader.model_name == "old"


@pytest.mark.parametrize("name, kind", EXPECTED)
def test_types_of_present_settings(tmp_path, name, kind):
    reader = read_reader(tmp_path, full_section())
    value = getattr(reader, name)
    assert type(value) is kind
    index = NAMES.index(name)
    assert value == (f"text-{index}" if kind is str else index + 1)


def test_only_required_keys_leave_seventeen_settings_none(tmp_path):
    reader = read_reader(tmp_path, "model_name: m\ndevice: cuda\nconsumer_group: g")
    assert [getattr(reader, name) for name in REQUIRED] == ["m", "cuda", "g"]
    assert [getattr(reader, name) for name in OPTIONAL] == [None] * 17


def test_constructor_settings_read_back_with_their_types():
    reader = ReaderConfig(
        model_name="m",
        device="cuda",
        consumer_group="g",
        log_level="debug",
        cuda_visible_devices="0,1",
        max_batch_size=2**64 - 1,
        tensor_parallel=2**32 - 1,
        max_sequence_length=0,
    )
    assert reader.max_batch_size == 18446744073709551615
    assert reader.tensor_parallel == 4294967295
    assert reader.max_sequence_length == 0
    assert type(reader.max_sequence_length) is int
    assert reader.log_level == "debug"
    assert reader.cuda_visible_devices == "0,1"


@pytest.mark.parametrize("name", INTEGERS)
def test_zero_is_present_not_none(tmp_path, name):
    reader = read_reader(tmp_path, f"model_name: m\ndevice: cuda\nconsumer_group: g\n{name}: 0")
    assert getattr(reader, name) == 0
    assert type(getattr(reader, name)) is int


@pytest.mark.parametrize("name", TEXTS)
def test_empty_text_is_present_not_none(tmp_path, name):
    body = "\n".join(f"{key}: x" for key in REQUIRED if key != name)
    reader = read_reader(tmp_path, f"{body}\n{name}: ''")
    assert getattr(reader, name) == ""


@pytest.mark.parametrize(
    "name, value",
    [("max_batch_size", 2**64 - 1), ("batch_duration_millis", 2**64 - 1)]
    + [(name, 2**32 - 1) for name, kind in EXPECTED[11:] if kind is int],
)
def test_largest_values_come_out_exactly(tmp_path, name, value):
    reader = read_reader(tmp_path, f"model_name: m\ndevice: cuda\nconsumer_group: g\n{name}: {value}")
    assert getattr(reader, name) == value


@pytest.mark.parametrize(
    "name", ["nvlink_unavailable", "disable_static", "disable_cuda_graph", "disable_paged_attention"]
)
def test_switches_are_integers_not_booleans(tmp_path, name):
    reader = read_reader(tmp_path, f"model_name: m\ndevice: cuda\nconsumer_group: g\n{name}: 1")
    assert getattr(reader, name) == 1
    assert type(getattr(reader, name)) is int
    assert getattr(reader, name) is not True


def test_numeric_looking_text_stays_text(tmp_path):
    reader = read_reader(tmp_path, "model_name: 123\ndevice: cuda\nconsumer_group: g\npage_cache_size: 8")
    assert reader.model_name == "123"
    assert reader.page_cache_size == "8"


def test_non_ascii_text_round_trips():
    reader = ReaderConfig(model_name="名前 ✓ \U0001f680", device="cuda", log_level="é")
    assert reader.model_name == "名前 ✓ \U0001f680"
    assert reader.log_level == "é"


def test_reads_are_repeatable_and_fresh(tmp_path):
    reader = read_reader(tmp_path, full_section())
    first = [getattr(reader, name) for name in NAMES]
    second = [getattr(reader, name) for name in NAMES]
    assert first == second
    assert first[0] is not second[0]  # a fresh object on every read
