"""A ReaderConfig as a Python value: repr, equality and hashing by its twenty
settings, pickling (every protocol, into fresh interpreters, malformed pickles
refused) and __replace__.

Most tables run over FULL, a reader whose twenty settings all sit at an
extreme (integer maxima and zeros, empty, non-ASCII and quote-laden texts),
and over MINIMAL, whose seventeen optional settings are all unset."""

import copy
import gc
import json
import multiprocessing
import operator
import pickle
from concurrent.futures import ProcessPoolExecutor

import pytest

import corvane_config
from corvane_config import ReaderConfig, read_corvane_readers_config

U64_MAX = 2**64 - 1
U32_MAX = 2**32 - 1
TOKEN = "tok-8c1f7e-SHOULD-NEVER-BE-SHOWN"

# Every setting at an extreme, in declaration order.
FULL_SETTINGS = {
    "model_name": "modèle-ß 模型 🚀",
    "device": "",
    "consumer_group": "it's a \"group\"\twith\nlines",
    "redis_host": "",
    "internal_gateway_ip": "10.0.0.1",
    "access_token": TOKEN,
    "log_level": "null",
    "backend": "\u00e9\u0301 \U0001f600",
    "cuda_visible_devices": "0,1",
    "max_batch_size": U64_MAX,
    "batch_duration_millis": 0,
    "tensor_parallel": U32_MAX,
    "quant_type": "'",
    "max_sequence_length": U32_MAX,
    "nvlink_unavailable": 0,
    "disable_static": 1,
    "disable_cuda_graph": U32_MAX,
    "cuda_graph_cache_capacity": 0,
    "disable_paged_attention": 1,
    "page_cache_size": "8",
}
REQUIRED = ("model_name", "device", "consumer_group")
U64 = ("max_batch_size", "batch_duration_millis")
NAMES = [name for name, value in vars(ReaderConfig).items()
         if type(value).__name__ == "getset_descriptor" and not name.startswith("_")]
OPTIONAL = [name for name in NAMES if name not in REQUIRED]
TEXTS = [name for name in NAMES if isinstance(FULL_SETTINGS[name], str)]
INTEGERS = [name for name in NAMES if isinstance(FULL_SETTINGS[name], int)]
U32 = [name for name in INTEGERS if name not in U64]


def manifest_text(readers):
    """A manifest holding each reader (id -> settings); JSON strings are YAML
    double-quoted scalars, so every text reads back exactly."""
    lines = ["corvane:", "  server_config: {}", "  readers_config:"]
    for reader_id, settings in readers.items():
        lines.append(f"    {reader_id}:")
        lines += [f"      {name}: {json.dumps(value, ensure_ascii=False)}"
                  for name, value in settings.items()]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def manifest(tmp_path_factory):
    path = tmp_path_factory.mktemp("value") / "manifest.yaml"
    minimal = {name: f"{name}-text" for name in REQUIRED}
    path.write_text(manifest_text({"full": FULL_SETTINGS, "minimal": minimal}), encoding="utf-8")
    return str(path)


@pytest.fixture
def full(manifest):
    return read_corvane_readers_config(manifest, "full")


@pytest.fixture
def minimal(manifest):
    return read_corvane_readers_config(manifest, "minimal")


def settings_of(reader):
    return {name: getattr(reader, name) for name in NAMES}


def exact(settings):
    """Settings with their exact classes, so that 1 and True differ."""
    return {name: (type(value), value) for name, value in settings.items()}


def test_the_tables_cover_every_setting():
    assert list(FULL_SETTINGS) == NAMES and len(NAMES) == 20
    assert len(TEXTS) == 11 and len(U64) == 2 and len(U32) == 7


def test_full_reader_holds_the_extremes(full):
    assert exact(settings_of(full)) == exact(FULL_SETTINGS)


# --- repr -------------------------------------------------------------------------


def test_repr_of_the_example_reader():
    reader = ReaderConfig(model_name="example-model", device="cuda", consumer_group="primary",
                          max_batch_size=8, cuda_visible_devices="0,1", tensor_parallel=2)
    assert repr(reader) == (
        "ReaderConfig(model_name='example-model', device='cuda', consumer_group='primary', "
        "cuda_visible_devices='0,1', max_batch_size=8, tensor_parallel=2)")


def expected_repr(settings):
    shown = [f"{name}={'***' if name == 'access_token' else value!r}"
             for name, value in settings.items() if value is not None]
    return f"ReaderConfig({', '.join(shown)})".replace("=***", "='***'")


@pytest.mark.parametrize("which", ["full", "minimal"])
def test_repr_shows_every_set_setting_in_order(which, request):
    reader = request.getfixturevalue(which)
    assert repr(reader) == expected_repr(settings_of(reader))
    assert str(reader) == repr(reader)


def test_repr_of_an_empty_reader_shows_the_three_required_texts():
    assert repr(ReaderConfig()) == "ReaderConfig(model_name='', device='', consumer_group='')"


def test_repr_and_str_never_show_the_token(full):
    assert full.access_token == TOKEN
    for shown in (repr(full), str(full), repr([full]), f"{full!r}", f"{full}", repr({1: full})):
        assert TOKEN not in shown
        assert "access_token='***'" in shown


@pytest.mark.parametrize("token", ["", "'", "\n", "日本語", "a" * 10_000])
def test_repr_is_the_same_whatever_the_token(full, token):
    assert repr(full.__replace__(access_token=token)) == repr(full)


def test_repr_without_token_shows_no_mask(minimal):
    assert "access_token" not in repr(minimal)


def test_repr_leaves_out_instance_attributes(minimal):
    before = repr(minimal)
    minimal.note = "an attribute"
    assert repr(minimal) == before


# --- equality and hashing --------------------------------------------------------


def test_two_reads_are_equal(manifest, full):
    again = read_corvane_readers_config(manifest, "full")
    assert again is not full
    assert again == full and not (again != full)
    assert hash(again) == hash(full)


@pytest.mark.parametrize("make", [
    copy.copy, copy.deepcopy, lambda r: pickle.loads(pickle.dumps(r)), lambda r: r.__replace__()])
@pytest.mark.parametrize("which", ["full", "minimal"])
def test_copies_are_equal(which, make, request):
    reader = request.getfixturevalue(which)
    duplicate = make(reader)
    assert duplicate is not reader
    assert duplicate == reader and hash(duplicate) == hash(reader)


@pytest.mark.parametrize("name", NAMES)
def test_each_setting_takes_part_in_equality(full, name):
    other_value = {str: "other", int: 7}[type(FULL_SETTINGS[name])]
    changed = full.__replace__(**{name: other_value})
    assert changed != full and not (changed == full)
    assert changed.__replace__(**{name: FULL_SETTINGS[name]}) == full


@pytest.mark.parametrize("name, unset, empty", [
    ("redis_host", None, ""), ("max_batch_size", None, 0), ("tensor_parallel", None, 0)])
def test_unset_differs_from_empty_and_zero(minimal, name, unset, empty):
    assert minimal.__replace__(**{name: unset}) != minimal.__replace__(**{name: empty})


def test_instance_attributes_do_not_take_part(full):
    other = copy.copy(full)
    other.note = "only on one of them"
    assert other == full and hash(other) == hash(full)


@pytest.mark.parametrize("other", [
    None, 5, "ReaderConfig", object(), FULL_SETTINGS, tuple(FULL_SETTINGS.values())])
def test_other_types_are_never_equal(full, other):
    assert full.__eq__(other) is NotImplemented
    assert full.__ne__(other) is NotImplemented
    assert not (full == other) and full != other
    assert not (other == full) and other != full


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
def test_readers_have_no_order(full, minimal, compare):
    with pytest.raises(TypeError, match="not supported between instances of"):
        compare(full, minimal)


def test_hash_is_stable_and_uses_every_setting(full):
    assert hash(full) == hash(full)
    variants = [full] + [full.__replace__(**{name: None if name in OPTIONAL else "x"})
                         for name in NAMES]
    assert len({hash(variant) for variant in variants}) == len(variants)


def test_readers_as_set_members_and_dict_keys(manifest, full, minimal):
    again = read_corvane_readers_config(manifest, "full")
    assert len({full, again, copy.copy(full), minimal}) == 2
    table = {full: "full", minimal: "minimal"}
    assert table[again] == "full"
    assert table[pickle.loads(pickle.dumps(minimal))] == "minimal"


# --- pickling ----------------------------------------------------------------------


PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("which", ["full", "minimal", "empty"])
def test_pickle_round_trip_is_lossless(which, protocol, request):
    reader = ReaderConfig() if which == "empty" else request.getfixturevalue(which)
    restored = pickle.loads(pickle.dumps(reader, protocol=protocol))
    assert type(restored) is ReaderConfig
    assert exact(settings_of(restored)) == exact(settings_of(reader))
    assert restored == reader
    assert restored.__dict__ == {}


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_pickle_keeps_instance_attributes(full, protocol):
    full.note = ["a", 1]
    full.me = full
    restored = pickle.loads(pickle.dumps(full, protocol=protocol))
    assert restored.note == ["a", 1]
    assert restored.me is restored


def test_pickles_go_through_a_private_module_function(full):
    rebuild, arguments = full.__reduce__()
    assert rebuild is corvane_config._reader_config_from_state
    assert rebuild.__module__ == "corvane_config"
    assert "_reader_config_from_state" not in corvane_config.__all__
    [state] = arguments
    assert state == tuple(FULL_SETTINGS.values())
    assert rebuild(state) == full


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy_module_keeps_working(full, copier):
    full.note = ["shared"]
    assert copier(full) == full and copier(full).note == ["shared"]


def worker_view(reader):
    return tuple(getattr(reader, name) for name in NAMES)


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_round_trip_through_a_fresh_interpreter(full, minimal, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"start method {method} is not available here")
    full.note = {"sent": True}
    readers = [full, minimal]
    with ProcessPoolExecutor(max_workers=1,
                             mp_context=multiprocessing.get_context(method)) as pool:
        # Read in the worker, sent back, and compared here.
        seen = list(pool.map(operator.attrgetter(*NAMES), readers))
        shown = list(pool.map(repr, readers))
        returned = list(pool.map(copy.copy, readers))
    assert seen == [worker_view(reader) for reader in readers]
    assert shown == [repr(reader) for reader in readers]
    assert returned == readers
    assert returned[0].note == {"sent": True}


class ForgedReader:
    """Pickles as a reader whose pickled settings are `state`."""

    def __init__(self, state):
        self.state = state

    def __reduce__(self):
        return corvane_config._reader_config_from_state, (self.state,)


VALID_STATE = tuple(FULL_SETTINGS.values())


def state_with(name, value):
    state = list(VALID_STATE)
    state[NAMES.index(name)] = value
    return tuple(state)


def setting_error(name, text):
    return f"ReaderConfig state, setting '{name}': {text}"


MALFORMED_STATES = [
    (list(VALID_STATE), TypeError, "ReaderConfig state must be a tuple, not 'list'"),
    (None, TypeError, "ReaderConfig state must be a tuple, not 'NoneType'"),
    (dict(FULL_SETTINGS), TypeError, "ReaderConfig state must be a tuple, not 'dict'"),
    ((), ValueError, "ReaderConfig state must hold 20 settings, not 0"),
    (VALID_STATE[:-1], ValueError, "ReaderConfig state must hold 20 settings, not 19"),
    (VALID_STATE + (None,), ValueError, "ReaderConfig state must hold 20 settings, not 21"),
    (state_with("model_name", None), TypeError,
     setting_error("model_name", "'NoneType' object cannot be converted to 'PyString'")),
    (state_with("consumer_group", b"g"), TypeError,
     setting_error("consumer_group", "'bytes' object cannot be converted to 'PyString'")),
    (state_with("page_cache_size", 8), TypeError,
     setting_error("page_cache_size", "'int' object cannot be converted to 'PyString'")),
    (state_with("max_batch_size", "8"), TypeError,
     setting_error("max_batch_size", "'str' object cannot be interpreted as an integer")),
    (state_with("tensor_parallel", 1.5), TypeError,
     setting_error("tensor_parallel", "'float' object cannot be interpreted as an integer")),
    (state_with("max_batch_size", U64_MAX + 1), OverflowError,
     setting_error("max_batch_size", "int too big to convert")),
    (state_with("batch_duration_millis", -1), OverflowError,
     setting_error("batch_duration_millis", "can't convert negative int to unsigned")),
    (state_with("disable_static", U32_MAX + 1), OverflowError,
     setting_error("disable_static", "out of range integral type conversion attempted")),
    (state_with("nvlink_unavailable", -1), OverflowError,
     setting_error("nvlink_unavailable", "out of range integral type conversion attempted")),
    (state_with("max_sequence_length", 2**64), OverflowError,
     setting_error("max_sequence_length", "Python int too large to convert to C long")),
]


def live_readers():
    return sum(1 for item in gc.get_objects() if type(item) is ReaderConfig)


@pytest.mark.parametrize("state, error, message", MALFORMED_STATES)
def test_malformed_pickle_is_refused(state, error, message):
    forged = pickle.dumps(ForgedReader(state))
    before = live_readers()
    with pytest.raises(error) as raised:
        pickle.loads(forged)
    assert str(raised.value) == message
    assert live_readers() == before  # nothing half built is left behind


def test_malformed_text_encoding_passes_the_interpreters_error():
    with pytest.raises(UnicodeEncodeError):
        corvane_config._reader_config_from_state(state_with("device", "\udc80"))


def test_a_forged_valid_state_builds_every_setting():
    rebuilt = pickle.loads(pickle.dumps(ForgedReader(VALID_STATE)))
    assert exact(settings_of(rebuilt)) == exact(FULL_SETTINGS)


# --- __replace__ ---------------------------------------------------------------------


NEW_VALUES = {name: ("changed-ü" if name in TEXTS else 3) for name in NAMES}


@pytest.mark.parametrize("name", NAMES)
def test_replace_changes_one_setting_and_nothing_else(full, name):
    full.note = "not carried over"
    before = settings_of(full)
    changed = full.__replace__(**{name: NEW_VALUES[name]})
    assert type(changed) is ReaderConfig
    assert settings_of(changed) == {**before, name: NEW_VALUES[name]}
    assert settings_of(full) == before
    assert changed.__dict__ == {}


@pytest.mark.parametrize("name", OPTIONAL)
def test_replace_with_none_unsets_an_optional_setting(full, name):
    changed = full.__replace__(**{name: None})
    assert getattr(changed, name) is None
    assert getattr(full, name) == FULL_SETTINGS[name]


@pytest.mark.parametrize("name", REQUIRED)
def test_replace_refuses_none_for_a_required_text(full, name):
    with pytest.raises(TypeError, match=r"^'NoneType' object cannot be converted to 'PyString'$"):
        full.__replace__(**{name: None})


def test_replace_sets_every_setting_at_once(minimal):
    changed = minimal.__replace__(**FULL_SETTINGS)
    assert exact(settings_of(changed)) == exact(FULL_SETTINGS)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("name", INTEGERS)
@pytest.mark.parametrize("given, stored", [
    (0, 0), (True, 1), (False, 0), (Index(5), 5), ("max", None)])
def test_replace_converts_integers_as_the_constructor_does(minimal, name, given, stored):
    if given == "max":
        given = stored = U64_MAX if name in U64 else U32_MAX
    value = getattr(minimal.__replace__(**{name: given}), name)
    assert type(value) is int and value == stored


def test_replace_checks_types_and_ranges_only(full):
    odd = full.__replace__(model_name="", device="api", cuda_visible_devices="x", tensor_parallel=3)
    assert (odd.model_name, odd.device, odd.tensor_parallel) == ("", "api", 3)
    with pytest.raises(Exception, match="^Validation Errors: "):
        odd.validate()


OUT_OF_RANGE = "out of range integral type conversion attempted"
REFUSALS = (
    [(name, 5, TypeError, "'int' object cannot be converted to 'PyString'") for name in TEXTS]
    + [(name, b"x", TypeError, "'bytes' object cannot be converted to 'PyString'")
       for name in TEXTS]
    + [(name, "8", TypeError, "'str' object cannot be interpreted as an integer")
       for name in INTEGERS]
    + [(name, 2.0, TypeError, "'float' object cannot be interpreted as an integer")
       for name in INTEGERS]
    + [(name, -1, OverflowError, OUT_OF_RANGE) for name in U32]
    + [(name, U32_MAX + 1, OverflowError, OUT_OF_RANGE) for name in U32]
    + [(name, 2**63, OverflowError, "Python int too large to convert to C long") for name in U32]
    + [(name, -1, OverflowError, "can't convert negative int to unsigned") for name in U64]
    + [(name, U64_MAX + 1, OverflowError, "int too big to convert") for name in U64]
)


@pytest.mark.parametrize("name, value, error, message", REFUSALS)
def test_replace_refuses(full, name, value, error, message):
    with pytest.raises(error) as raised:
        full.__replace__(**{name: value})
    assert str(raised.value) == message
    assert getattr(full, name) == FULL_SETTINGS[name]


@pytest.mark.parametrize("keyword", ["tensor_paralel", "Model_name", "__dict__", "note", "é"])
def test_replace_refuses_unknown_names(full, keyword):
    with pytest.raises(TypeError) as raised:
        full.__replace__(**{keyword: 1})
    assert str(raised.value) == (
        f"ReaderConfig.__replace__() got an unexpected keyword argument '{keyword}'")


def test_replace_refuses_positional_arguments(full):
    with pytest.raises(TypeError,
                       match=r"^ReaderConfig\.__replace__\(\) takes 0 positional arguments "
                             r"but 1 was given$"):
        full.__replace__({"model_name": "m"})


def test_replace_reports_the_first_bad_keyword(full):
    with pytest.raises(OverflowError):
        full.__replace__(tensor_parallel=-1, bogus=1, device=None)
    with pytest.raises(TypeError, match="bogus"):
        full.__replace__(bogus=1, tensor_parallel=-1)


def test_replace_passes_encoding_errors_unchanged(full):
    with pytest.raises(UnicodeEncodeError):
        full.__replace__(device="\udc80")


@pytest.mark.skipif(not hasattr(copy, "replace"), reason="copy.replace is new in Python 3.13")
def test_copy_replace_calls_replace(full):
    changed = copy.replace(full, max_batch_size=None, device="cpu")
    assert changed == full.__replace__(max_batch_size=None, device="cpu")
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        copy.replace(full, bogus=1)

