"""validate: the five consistency rules, their order and the rendered message."""

import pytest

from corvane_config import ReaderConfig, read_corvane_readers_config

CPU_TP = "tensor_parallel is not supported on cpu"
DEVICE = "device must be either 'cpu' or 'cuda' for local models, or 'api' for api-based models"
TOO_FEW = (
    "If providing cuda_visible_devices, tensor_parallel cannot be larger than the number of "
    "devices provided"
)
ODD = "tensor_parallel must be 1 or even, if specified."
ZERO = "tensor_parallel must be at least 1, if specified."
LIST = "cuda_visible_devices must be a comma separated string of integers like '0,1'"

RULE = {
    CPU_TP: "tensor_parallel",
    DEVICE: "device",
    TOO_FEW: "tensor_parallel",
    ODD: "tensor_parallel",
    ZERO: "tensor_parallel",
    LIST: "cuda_visible_devices",
}


def rendered(*explanations):
    findings = ", ".join(
        f'ValidationError {{ field: Field("{RULE[text]}"), error_type: Invalid("{text}") }}'
        for text in explanations
    )
    return f"Validation Errors: [{findings}]"


def read_reader(tmp_path, **settings):
    path = tmp_path / "manifest.yaml"
    settings = {"model_name": "m", "consumer_group": "g", **settings}
    body = "".join(f"      {key}: {value}\n" for key, value in settings.items())
    path.write_text(f"corvane:\n  server_config: {{}}\n  readers_config:\n    r1:\n{body}")
    return read_corvane_readers_config(str(path), "r1")


def quoted(text):
    return "'" + text.replace("'", "''") + "'"


# device, tensor_parallel, cuda_visible_devices, findings in order
CASES = [
    pytest.param("cuda", 2, "0,1", [], id="consistent"),
    pytest.param("cuda", None, None, [], id="cuda-alone"),
    pytest.param("cpu", None, None, [], id="cpu-alone"),
    pytest.param("api", None, None, [], id="api-alone"),
    pytest.param("gpu", None, None, [DEVICE], id="gpu"),
    pytest.param("CPU", None, None, [DEVICE], id="upper-case"),
    pytest.param(" cpu", None, None, [DEVICE], id="leading-space"),
    pytest.param("", None, None, [DEVICE], id="empty-device"),
    pytest.param("cpu", 1, None, [CPU_TP], id="cpu-tp-1"),
    pytest.param("cpu", 2, None, [CPU_TP], id="cpu-tp-2"),
    pytest.param("cpu", 0, None, [CPU_TP, ZERO], id="cpu-tp-0"),
    pytest.param("cpu", 3, "0", [CPU_TP, TOO_FEW, ODD], id="cpu-tp-3-one-device"),
    pytest.param("cuda", 4, "0,1", [TOO_FEW], id="tp-above-device-count"),
    pytest.param("cuda", 2, "0,1", [], id="tp-equal-device-count"),
    pytest.param("api", 4, "0,1", [TOO_FEW], id="rule-3-for-api"),
    pytest.param("cuda", 3, "0,1", [TOO_FEW, ODD], id="too-few-then-odd"),
    pytest.param("cuda", 3, "0,1,2", [ODD], id="odd-3"),
    pytest.param("cuda", 5, None, [ODD], id="odd-5"),
    pytest.param("cuda", 4294967295, None, [ODD], id="odd-max"),
    pytest.param("cuda", 1, None, [], id="tp-1"),
    pytest.param("cuda", 4294967294, None, [], id="even-large"),
    pytest.param("cuda", 0, None, [ZERO], id="tp-0"),
    pytest.param("cuda", 0, "", [ZERO, LIST], id="tp-0-empty-list"),
    pytest.param("cuda", None, "0, 1", [LIST], id="space-in-list"),
    pytest.param("cuda", None, "", [LIST], id="empty-list"),
    pytest.param("cuda", 2, "", [TOO_FEW, LIST], id="empty-list-with-tp-2"),
    pytest.param("cuda", 1, "", [LIST], id="empty-list-with-tp-1"),
    pytest.param("cuda", None, "0,1,", [LIST], id="trailing-comma"),
    pytest.param("cuda", 3, "0,1,", [ODD, LIST], id="trailing-comma-counts-as-item"),
    pytest.param("cuda", None, "0,,1", [LIST], id="empty-middle-item"),
    pytest.param("cuda", None, "a,b,c", [LIST], id="one-finding-for-many-bad-items"),
    pytest.param("cuda", None, "+1,007,4294967295", [], id="plus-leading-zeros-max"),
    pytest.param("cuda", None, "4294967296", [LIST], id="above-u32"),
    pytest.param("cuda", None, "99999999999999999999999", [LIST], id="far-above-u64"),
    pytest.param("cuda", None, "-1", [LIST], id="minus"),
    pytest.param("cuda", None, "-0", [LIST], id="minus-zero"),
    pytest.param("cuda", None, "+", [LIST], id="lone-plus"),
    pytest.param("cuda", None, "++1", [LIST], id="double-plus"),
    pytest.param("cuda", None, " 1", [LIST], id="leading-space-item"),
    pytest.param("cuda", None, "1 ", [LIST], id="trailing-space-item"),
    pytest.param("cuda", None, "1;2", [LIST], id="semicolon"),
    pytest.param("cuda", None, "\u0661", [LIST], id="non-ascii-digit"),
    pytest.param("cuda", None, "1,1,0", [], id="repeats-and-order-not-checked"),
    pytest.param("cuda", None, "0", [], id="single-device"),
    pytest.param("gpu", 3, "x", [DEVICE, TOO_FEW, ODD, LIST], id="four-findings"),
]


@pytest.mark.parametrize("device, tensor_parallel, devices, findings", CASES)
def test_rules_from_a_manifest(tmp_path, device, tensor_parallel, devices, findings):
    settings = {"device": quoted(device)}
    if tensor_parallel is not None:
        settings["tensor_parallel"] = tensor_parallel
    if devices is not None:
        settings["cuda_visible_devices"] = quoted(devices)
    reader = read_reader(tmp_path, **settings)
    check(reader, findings)


CONSTRUCTIBLE = [
    case for case in CASES if case.values[0] in ("cpu", "cuda")
]


@pytest.mark.parametrize("device, tensor_parallel, devices, findings", CONSTRUCTIBLE)
def test_rules_on_constructed_configs(device, tensor_parallel, devices, findings):
    reader = ReaderConfig(
        model_name="m", device=device, tensor_parallel=tensor_parallel, cuda_visible_devices=devices
    )
    check(reader, findings)


def check(reader, findings):
    before = reader.dict_without_optionals()
    if not findings:
        assert reader.validate() is None
    else:
        with pytest.raises(Exception) as raised:
            reader.validate()
        assert type(raised.value) is Exception
        assert raised.value.args == (rendered(*findings),)
    assert reader.dict_without_optionals() == before


def test_config_with_no_keywords_has_one_device_finding():
    with pytest.raises(Exception) as raised:
        ReaderConfig().validate()
    assert str(raised.value) == rendered(DEVICE)


def test_exact_rendering_of_two_findings():
    reader = ReaderConfig(model_name="m", device="cpu", tensor_parallel=0)
    with pytest.raises(Exception) as raised:
        reader.validate()
    assert str(raised.value) == (
        'Validation Errors: [ValidationError { field: Field("tensor_parallel"), '
        'error_type: Invalid("tensor_parallel is not supported on cpu") }, '
        'ValidationError { field: Field("tensor_parallel"), '
        'error_type: Invalid("tensor_parallel must be at least 1, if specified.") }]'
    )


def test_validation_error_is_no_more_specific_builtin():
    with pytest.raises(Exception) as raised:
        ReaderConfig().validate()
    for narrower in (ValueError, OSError, TypeError, RuntimeError):
        assert not isinstance(raised.value, narrower)


def test_validate_is_repeatable():
    reader = ReaderConfig(model_name="m", device="cuda", tensor_parallel=3)
    messages = set()
    for _ in range(3):
        with pytest.raises(Exception) as raised:
            reader.validate()
        messages.add(str(raised.value))
    assert messages == {rendered(ODD)}
