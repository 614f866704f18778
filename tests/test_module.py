"""The module's face: import, registration, docstrings, type traits, argument
binding and the receiver checks of methods and properties."""

import ctypes
import importlib
import inspect
import itertools
import subprocess
import sys
import weakref

import pytest

import corvane_config
from corvane_config import AppConfig, ReaderConfig, read_corvane_readers_config


ALL = ["ReaderConfig", "AppConfig", "read_corvane_readers_config",
       "remove_corvane_readers_config", "read_corvane_readers"]


def make_reader():
    return ReaderConfig(model_name="m", device="cuda")


# --- import and registration ------------------------------------------------


def test_all_lists_the_names_in_registration_order():
    assert corvane_config.__all__ == ALL


def test_module_docstring_is_empty_text():
    assert corvane_config.__doc__ == ""


@pytest.mark.aarch64_smoke
def test_module_attributes_are_the_registered_objects():
    assert corvane_config.ReaderConfig is ReaderConfig
    assert corvane_config.AppConfig is AppConfig
    assert corvane_config.read_corvane_readers_config is read_corvane_readers_config


def test_reimport_gives_the_identical_module_object():
    first = sys.modules.pop("corvane_config")
    try:
        second = importlib.import_module("corvane_config")
        assert second is first
        assert second.ReaderConfig is ReaderConfig
        assert second.__all__ == ALL
    finally:
        sys.modules["corvane_config"] = first


def test_sub_interpreter_import_is_refused():
    code = (
        "import corvane_config, _testcapi\n"
        "status = _testcapi.run_in_subinterp('import corvane_config')\n"
        "print('status', status)\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    if "No module named '_testcapi'" in done.stderr:
        pytest.skip("this interpreter has no _testcapi")
    assert done.returncode == 0, done.stderr
    assert "status -1" in done.stdout
    assert "ImportError: corvane_config does not support sub-interpreters" in done.stderr


# --- ReaderConfig class traits ----------------------------------------------


def test_reader_config_docstring_and_signature():
    assert ReaderConfig.__doc__ is None
    assert ReaderConfig.__text_signature__ == "(**kwargs)"


def test_reader_config_names():
    assert ReaderConfig.__module__ == "builtins"
    assert ReaderConfig.__name__ == "ReaderConfig"
    assert ReaderConfig.__qualname__ == "ReaderConfig"
    assert ReaderConfig.__mro__ == (ReaderConfig, object)


@pytest.mark.parametrize("cls", [ReaderConfig, AppConfig])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", [ReaderConfig, AppConfig])
def test_classes_do_not_support_weak_references(cls):
    assert cls.__weakrefoffset__ == 0


def test_reader_config_instance_cannot_be_weakly_referenced():
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(make_reader())


def test_instance_takes_arbitrary_attributes():
    reader = make_reader()
    reader.note = "kept"
    reader.count = 3
    assert reader.note == "kept"
    assert vars(reader) == {"note": "kept", "count": 3}
    assert reader.__dict__ is vars(reader)
    del reader.count
    assert vars(reader) == {"note": "kept"}


def test_instance_dict_of_a_fresh_object_is_empty():
    assert vars(make_reader()) == {}


def test_attribute_cycle_through_instance_dict_is_collected():
    import gc

    class Sentinel:
        pass

    reader = make_reader()
    reader.self = reader
    reader.sentinel = Sentinel()
    alive = weakref.ref(reader.sentinel)
    del reader
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize(
    "name, signature",
    [
        ("dict_without_optionals", "($self)"),
        ("validate", "($self)"),
        ("add_to_manifest_yaml", "($self, path, reader_id, *, keep_layout=False)"),
    ],
)
def test_method_signatures_and_empty_docstrings(name, signature):
    method = getattr(ReaderConfig, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_add_to_manifest_yaml_signature_parameters():
    signature = inspect.signature(make_reader().add_to_manifest_yaml)
    assert str(signature) == "(path, reader_id, *, keep_layout=False)"
    assert signature.parameters["keep_layout"].kind is inspect.Parameter.KEYWORD_ONLY


@pytest.mark.parametrize("name", ["dict_without_optionals", "validate"])
def test_methods_without_arguments_refuse_arguments(name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(make_reader(), name)(1)


# --- AppConfig ----------------------------------------------------------------


def test_app_config_traits():
    assert AppConfig.__doc__ == "The app configuration"
    assert AppConfig.__text_signature__ is None
    assert AppConfig.__module__ == "builtins"
    assert AppConfig.__name__ == "AppConfig"
    assert AppConfig.__mro__ == (AppConfig, object)
    assert AppConfig.__dictoffset__ == 0


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((), {"port": 8080}), ((1, 2), {}), (("x",), {"echo": True})]
)
def test_app_config_has_no_constructor(args, kwargs):
    with pytest.raises(TypeError) as raised:
        AppConfig(*args, **kwargs)
    assert str(raised.value) == "No constructor defined"


def test_reader_config_is_not_an_app_config():
    assert not isinstance(make_reader(), AppConfig)


# --- read_corvane_readers_config surface --------------------------------------


@pytest.mark.parametrize("name, signature, doc", [
    ("read_corvane_readers_config", '(path="str", reader_id="str")',
     "Read the reader config for reader_id: reader_id from the manifest yaml file.\n"
     "If no such reader is found, return an error to be raised in python"),
    ("remove_corvane_readers_config", "(path, reader_id)",
     "Remove the reader config for reader_id: reader_id from the manifest yaml file,\n"
     "keeping every other line of the file as it is."),
    ("read_corvane_readers", "(path)",
     "Read every reader config of the manifest yaml file: a dict from reader_id to\n"
     "ReaderConfig, in file order."),
])
def test_function_traits(name, signature, doc):
    function = getattr(corvane_config, name)
    assert function.__name__ == name
    assert function.__module__ == "corvane_config"
    assert function.__self__ is corvane_config
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def test_read_function_defaults_both_arguments_to_the_text_str(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception) as raised:
        read_corvane_readers_config()
    assert type(raised.value) is Exception
    assert raised.value.args == ("File Not Found on path: str",)


FN = "read_corvane_readers_config()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("a", "b", "c"), {}, f"{FN} takes from 0 to 2 positional arguments but 3 were given"),
        (("a", "b", "c", "d"), {}, f"{FN} takes from 0 to 2 positional arguments but 4 were given"),
        ((), {"foo": 1}, f"{FN} got an unexpected keyword argument 'foo'"),
        (("a",), {"Path": "b"}, f"{FN} got an unexpected keyword argument 'Path'"),
        (("a",), {"path": "b"}, f"{FN} got multiple values for argument 'path'"),
        (("a", "b"), {"reader_id": "c"}, f"{FN} got multiple values for argument 'reader_id'"),
        ((), {"path": 1}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((1,), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (("a", 2), {}, "argument 'reader_id': 'int' object cannot be converted to 'PyString'"),
        ((None,), {}, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        ((b"a",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
        ((1, 2), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        # keyword errors come before conversions
        ((1,), {"bad": 2}, f"{FN} got an unexpected keyword argument 'bad'"),
    ],
)
def test_read_function_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        read_corvane_readers_config(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message


def test_read_function_lone_surrogate_raises_the_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError, match="surrogates not allowed"):
        read_corvane_readers_config("\ud800", "r")
    with pytest.raises(UnicodeEncodeError):
        read_corvane_readers_config("m.yaml", reader_id="\ud800")


def test_read_function_accepts_str_subclasses(tmp_path, monkeypatch):
    class Text(str):
        pass

    monkeypatch.chdir(tmp_path)
    with pytest.raises(Exception) as raised:
        read_corvane_readers_config(Text("nothing-here.yaml"), Text("r"))
    assert raised.value.args == ("File Not Found on path: nothing-here.yaml",)


RM, RA = "remove_corvane_readers_config()", "read_corvane_readers()"


@pytest.mark.parametrize("function, args, kwargs, message", [
    (RM, ("m.yaml",), {}, f"{RM} missing 1 required positional argument: 'reader_id'"),
    (RM, ("a", "b", "c"), {}, f"{RM} takes 2 positional arguments but 3 were given"),
    (RM, ("a", 1), {}, "argument 'reader_id': 'int' object cannot be converted to 'PyString'"),
    (RM, (), {"path": "a", "id": "b"}, f"{RM} got an unexpected keyword argument 'id'"),
    (RA, (), {}, f"{RA} missing 1 required positional argument: 'path'"),
    (RA, ("a", "b"), {}, f"{RA} takes 1 positional argument but 2 were given"),
    (RA, (b"a",), {}, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
])
def test_manifest_function_argument_errors(function, args, kwargs, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # nothing below may touch a file
    with pytest.raises(TypeError) as raised:
        getattr(corvane_config, function[:-2])(*args, **kwargs)
    assert str(raised.value) == message
    assert list(tmp_path.iterdir()) == []


def test_read_function_huge_argument_count_is_refused():
    args = ["x"] * 10_000
    with pytest.raises(TypeError, match="but 10000 were given"):
        read_corvane_readers_config(*args)


# --- add_to_manifest_yaml argument binding -----------------------------------

AM = "ReaderConfig.add_to_manifest_yaml()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("m.yaml",), {}, f"{AM} missing 1 required positional argument: 'reader_id'"),
        ((), {"reader_id": "r"}, f"{AM} missing 1 required positional argument: 'path'"),
        ((), {}, f"{AM} missing 2 required positional arguments: 'path' and 'reader_id'"),
        (("a", "b", "c"), {}, f"{AM} takes 2 positional arguments but 3 were given"),
        (("a", "b", "c", "d", "e"), {}, f"{AM} takes 2 positional arguments but 5 were given"),
        (("a", "b"), {"x": 1}, f"{AM} got an unexpected keyword argument 'x'"),
        (("a",), {"path": "b"}, f"{AM} got multiple values for argument 'path'"),
        # an unexpected keyword is reported before the missing argument
        (("a",), {"foo": 1}, f"{AM} got an unexpected keyword argument 'foo'"),
        ((1, "r"), {}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        (("p", 1.5), {}, "argument 'reader_id': 'float' object cannot be converted to 'PyString'"),
        ((), {"reader_id": 1, "path": 2}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
        ((None, None), {}, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        (("a", "b", True), {}, f"{AM} takes 2 positional arguments but 3 were given"),
        (("a", "b"), {"keep_layout": 1}, "argument 'keep_layout': 'int' object cannot be converted to 'PyBool'"),
        (("a", "b"), {"keep_layout": None}, "argument 'keep_layout': 'NoneType' object cannot be converted to 'PyBool'"),
        ((1, "b"), {"keep_layout": 1}, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_add_to_manifest_yaml_argument_errors(args, kwargs, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # nothing below may touch a file
    with pytest.raises(TypeError) as raised:
        make_reader().add_to_manifest_yaml(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert list(tmp_path.iterdir()) == []


def test_add_to_manifest_yaml_lone_surrogate_passes_the_encoding_error(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(UnicodeEncodeError):
        make_reader().add_to_manifest_yaml("\udfff", "r")
    assert list(tmp_path.iterdir()) == []


# --- receiver checks ------------------------------------------------------------
#
# The interpreter's descriptors refuse a foreign receiver before the module's
# code runs; the module checks again. The raw C functions are reached through
# the definition tables the type was created from, which the interpreter
# hands out through PyType_GetSlot; those tables (PyGetSetDef, PyMethodDef)
# and the slot numbers belong to the stable ABI, so no interpreter's object
# layout is assumed.

PY_TP_GETSET, PY_TP_METHODS = 73, 64  # from typeslots.h, fixed in the stable ABI


class PyGetSetDef(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("get", ctypes.c_void_p), ("set", ctypes.c_void_p),
                ("doc", ctypes.c_char_p), ("closure", ctypes.c_void_p)]


class PyMethodDef(ctypes.Structure):
    _fields_ = [("ml_name", ctypes.c_char_p), ("ml_meth", ctypes.c_void_p),
                ("ml_flags", ctypes.c_int), ("ml_doc", ctypes.c_char_p)]


def _definition(table_type, slot, name):
    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    get_slot.restype = ctypes.c_void_p
    address = get_slot(ReaderConfig, slot)
    assert address, "the type has no such table"
    entries = ctypes.cast(address, ctypes.POINTER(table_type))
    name_field = table_type._fields_[0][0]
    for index in itertools.count():
        entry_name = getattr(entries[index], name_field)
        if entry_name is None:  # the table's end marker
            break
        if entry_name == name.encode():
            return entries[index]
    raise AssertionError(f"ReaderConfig defines no {name}")


def raw_getter(name):
    definition = _definition(PyGetSetDef, PY_TP_GETSET, name)
    function = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(
        definition.get)
    closure = definition.closure
    return lambda receiver: function(receiver, closure)


def raw_noargs_method(name):
    definition = _definition(PyMethodDef, PY_TP_METHODS, name)
    function = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_void_p)(
        definition.ml_meth)
    return lambda receiver: function(receiver, None)


def raw_fastcall_method(name):
    definition = _definition(PyMethodDef, PY_TP_METHODS, name)
    function = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_ssize_t, ctypes.py_object
    )(definition.ml_meth)

    def call(receiver, *args, **kwargs):
        values = (ctypes.py_object * (len(args) + len(kwargs) + 1))(*args, *kwargs.values())
        names = tuple(kwargs) if kwargs else None
        kwnames = ctypes.py_object(names) if names else ctypes.py_object()
        return function(receiver, ctypes.cast(values, ctypes.c_void_p), len(args), kwnames)

    return call


def test_raw_definitions_are_the_ones_python_calls():
    # The table entries found are those behind the descriptors: each getter,
    # given its closure, reads its own setting; a method gives what the
    # method gives.
    assert raw_getter("device")(make_reader()) == "cuda"
    assert raw_getter("model_name")(make_reader()) == "m"
    assert raw_noargs_method("dict_without_optionals")(make_reader()) == \
        make_reader().dict_without_optionals()


@pytest.mark.parametrize("receiver, type_name", [(5, "int"), ("s", "str"), (3.5, "float")])
def test_property_getter_refuses_foreign_receiver(receiver, type_name):
    with pytest.raises(TypeError) as raised:
        ReaderConfig.model_name.__get__(receiver)
    assert "doesn't apply to" in str(raised.value)
    with pytest.raises(TypeError) as raised:
        raw_getter("model_name")(receiver)
    assert str(raised.value) == f"'{type_name}' object cannot be converted to 'ReaderConfig'"


def test_foreign_receiver_reports_qualified_type_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as raised:
        raw_getter("device")(Outer.Inner())
    assert str(raised.value) == (
        "'test_foreign_receiver_reports_qualified_type_name.<locals>.Outer.Inner' "
        "object cannot be converted to 'ReaderConfig'"
    )


@pytest.mark.parametrize("name", ["dict_without_optionals", "validate"])
def test_noargs_methods_refuse_foreign_receiver(name):
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        getattr(ReaderConfig, name)(5)
    with pytest.raises(TypeError) as raised:
        raw_noargs_method(name)(5)
    assert str(raised.value) == "'int' object cannot be converted to 'ReaderConfig'"


def test_add_to_manifest_yaml_checks_arguments_then_receiver_then_path_then_reader_id():
    call = raw_fastcall_method("add_to_manifest_yaml")
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        ReaderConfig.add_to_manifest_yaml(5, "p", "r")
    # argument count before the receiver
    with pytest.raises(TypeError) as raised:
        call(5, "a", "b", "c")
    assert str(raised.value) == f"{AM} takes 2 positional arguments but 3 were given"
    with pytest.raises(TypeError) as raised:
        call(5, "a")
    assert str(raised.value) == f"{AM} missing 1 required positional argument: 'reader_id'"
    # receiver before the conversions
    with pytest.raises(TypeError) as raised:
        call(5, 1, 2)
    assert str(raised.value) == "'int' object cannot be converted to 'ReaderConfig'"
    # path before reader_id, whatever order the keywords came in
    with pytest.raises(TypeError) as raised:
        call(make_reader(), reader_id=2, path=1)
    assert str(raised.value) == "argument 'path': 'int' object cannot be converted to 'PyString'"
