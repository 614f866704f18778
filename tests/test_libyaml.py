"""The module works around four behaviours of libyaml 0.2.5. Each test first
asks the libyaml the module has loaded whether it still behaves that way, and
skips with the reason when it does not (the workaround can then go); where it
does, the test checks that the module's result is the right one. The last is
not asked about: the module's result is checked whatever libyaml does.

- The emitter closes a document with "..." whenever any block scalar keeping
  its trailing line breaks ("|+") was written, not only when one is last
  (src/yaml/writer.cpp resets the emitter's open_ended flag).
- The emitter takes characters above U+FFFF for unprintable and escapes them
  in double quotes (src/yaml/writer.cpp writes a private-use stand-in and puts
  the character back afterwards).
- The parser misspells "hexadecimal" in one of its messages
  (src/yaml/parser.cpp corrects it).
- The parser copies a %TAG directive's whole prefix into every tag naming its
  handle (src/yaml/parser.cpp cuts long prefixes short at the document's
  start; a tag's kind, all that is read of it, must survive the cut).

The YAML fast path (src/yaml/fast_path/) copies the parser's own rules
for the texts it reads, as 0.2.5 has them: at the end of the text, mappings
indented deeper than the last line's column close there, the others on the
line after; "\\'" is no escape in double quotes; a key's ":" must follow its
start within 1,024 characters. The module takes the fast path only where the
loaded libyaml reports 0.2.5; the differential check of fuzz/ compares the
two parsers event by event.
"""

import ctypes
import pathlib
import runpy

import pytest

import corvane_config
from corvane_config import ReaderConfig, read_corvane_readers_config
from manifests import fast_path_on, manifest

SERIALIZING = "Error Error Serializing/Deserializing:: "

# libyaml's enumerations, as its header fixes them.
UTF8_ENCODING = 1
ANY_SCALAR_STYLE, LITERAL_SCALAR_STYLE = 0, 4
ANY_MAPPING_STYLE = 0


def loaded_libyaml_path():
    with open("/proc/self/maps", encoding="utf-8") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) >= 6 and "libyaml" in pathlib.Path(fields[-1]).name:
                return fields[-1]
    return None


@pytest.fixture(scope="module")
def libyaml():
    assert corvane_config.ReaderConfig  # the module, and with it libyaml, is loaded
    path = loaded_libyaml_path()
    if path is None:
        pytest.skip("libyaml is not a shared library of this process (linked statically?)")
    library = ctypes.CDLL(path)
    library.yaml_get_version_string.restype = ctypes.c_char_p
    library.version = library.yaml_get_version_string().decode()
    library.path = path
    return library


def emit_mapping(library, entries):
    """The text libyaml's emitter itself makes of one block mapping of
    (key, value, style) scalars, with the settings the module uses. Only
    libyaml's functions touch its structures, which are kept opaque here in
    buffers larger than any version of them."""
    emitter = ctypes.create_string_buffer(1 << 16)
    event = ctypes.create_string_buffer(1 << 12)
    output = ctypes.create_string_buffer(1 << 16)
    written = ctypes.c_size_t(0)
    assert library.yaml_emitter_initialize(emitter)
    try:
        library.yaml_emitter_set_output_string(emitter, output, ctypes.c_size_t(len(output)),
                                               ctypes.byref(written))
        library.yaml_emitter_set_encoding(emitter, UTF8_ENCODING)
        library.yaml_emitter_set_unicode(emitter, 1)
        library.yaml_emitter_set_width(emitter, -1)
        library.yaml_emitter_set_indent(emitter, 2)

        def emit(initialised):
            assert initialised and library.yaml_emitter_emit(emitter, event)

        emit(library.yaml_stream_start_event_initialize(event, UTF8_ENCODING))
        emit(library.yaml_document_start_event_initialize(event, None, None, None, 1))
        emit(library.yaml_mapping_start_event_initialize(event, None, None, 1, ANY_MAPPING_STYLE))
        for key, value, style in entries:
            for text, text_style in ((key, ANY_SCALAR_STYLE), (value, style)):
                data = text.encode()
                emit(library.yaml_scalar_event_initialize(event, None, None, data, len(data), 1, 1,
                                                          text_style))
        emit(library.yaml_mapping_end_event_initialize(event))
        emit(library.yaml_document_end_event_initialize(event, 1))
        emit(library.yaml_stream_end_event_initialize(event))
    finally:
        library.yaml_emitter_delete(emitter)
    return output.raw[:written.value].decode()


# --- "..." after a block scalar that keeps its line breaks ---------------------


def needs_open_ended_reset(libyaml):
    text = emit_mapping(libyaml, [("kept", "x\n\n", LITERAL_SCALAR_STYLE),
                                  ("after", "y", ANY_SCALAR_STYLE)])
    if not text.endswith("...\n"):
        pytest.skip(f"libyaml {libyaml.version} ends a document with '...' only when needed: "
                    "the open_ended reset in src/yaml/writer.cpp can go")


def test_kept_line_breaks_before_the_end_add_no_document_end_marker(tmp_path, libyaml):
    needs_open_ended_reset(libyaml)
    path = tmp_path / "manifest.yaml"
    path.write_text(manifest())
    # model_name comes first of twenty settings: nineteen scalars follow it.
    ReaderConfig(model_name="two breaks\n\n", device="cpu").add_to_manifest_yaml(str(path), "r1")
    text = path.read_text(encoding="utf-8")
    assert "      model_name: |+\n        two breaks\n\n      device: cpu\n" in text
    assert text.endswith("      page_cache_size: null\n")
    assert "..." not in text
    assert read_corvane_readers_config(str(path), "r1").model_name == "two breaks\n\n"


def test_kept_line_breaks_at_the_very_end_keep_their_marker(tmp_path, libyaml):
    needs_open_ended_reset(libyaml)
    path = tmp_path / "manifest.yaml"
    path.write_text(manifest("    first:\n      model_name: m\n      device: cpu\n"
                             "      consumer_group: g\n"
                             "    last:\n      model_name: m\n      device: cpu\n"
                             "      consumer_group: g\n      page_cache_size: \"4GiB\\n\\n\"\n"))
    # Replacing the first reader keeps the last one (and its setting) last.
    ReaderConfig(model_name="new", device="cpu").add_to_manifest_yaml(str(path), "first")
    text = path.read_text(encoding="utf-8")
    assert text.endswith("      page_cache_size: |+\n        4GiB\n\n...\n")
    assert read_corvane_readers_config(str(path), "last").page_cache_size == "4GiB\n\n"
    # Written again, the file comes out the same.
    ReaderConfig(model_name="new", device="cpu").add_to_manifest_yaml(str(path), "first")
    assert path.read_text(encoding="utf-8") == text


# --- characters above U+FFFF ------------------------------------------------------


def needs_astral_stand_in(libyaml):
    text = emit_mapping(libyaml, [("emoji", "\U0001F600", ANY_SCALAR_STYLE)])
    if "\U0001F600" in text:
        pytest.skip(f"libyaml {libyaml.version} writes characters above U+FFFF as they are: "
                    "the private-use stand-in in src/yaml/writer.cpp can go")


ASTRAL_TEXTS = [
    pytest.param("\U0001F600", "\U0001F600", id="alone-plain"),
    pytest.param("emoji \U0001F600 and \U0001D11E", "emoji \U0001F600 and \U0001D11E",
                 id="among-text"),
    # The stand-in's own character in the text: every character comes back
    # in its place, whichever of the two it is.
    pytest.param("\ue000\U0001F600\ue000\U0010FFFD", "\ue000\U0001F600\ue000\U0010FFFD",
                 id="beside-the-stand-in"),
    # A text the emitter double-quotes for another reason: the character
    # stays as it is inside the quotes.
    pytest.param("bell\x07\U0001F600", '"bell\\a\U0001F600"', id="double-quoted"),
    pytest.param("lines\n\U0001F600\n", "|\n        lines\n        \U0001F600", id="literal"),
]


@pytest.mark.parametrize("value, written", ASTRAL_TEXTS)
def test_characters_above_the_basic_plane_are_written_as_they_are(tmp_path, libyaml, value,
                                                                  written):
    needs_astral_stand_in(libyaml)
    path = tmp_path / "manifest.yaml"
    path.write_text(manifest())
    ReaderConfig(model_name=value, device="cpu").add_to_manifest_yaml(str(path), "r1")
    text = path.read_text(encoding="utf-8")
    assert f"      model_name: {written}\n" in text
    assert "\\U" not in text
    assert read_corvane_readers_config(str(path), "r1").model_name == value


def test_reader_identifiers_above_the_basic_plane_are_written_as_they_are(tmp_path, libyaml):
    needs_astral_stand_in(libyaml)
    path = tmp_path / "manifest.yaml"
    path.write_text(manifest())
    ReaderConfig(model_name="m", device="cpu").add_to_manifest_yaml(str(path), "r-\U0001F680")
    assert "\n    r-\U0001F680:\n      model_name: m\n" in path.read_text(encoding="utf-8")
    assert read_corvane_readers_config(str(path), "r-\U0001F680").model_name == "m"


# --- the parser's "hexdecimal" ----------------------------------------------------------


def needs_spelling_fix(libyaml):
    with open(libyaml.path, "rb") as library_file:
        misspelled = b"hexdecimal" in library_file.read()
    if not misspelled:
        pytest.skip(f"libyaml {libyaml.version} spells 'hexadecimal' itself: "
                    "the correction in src/yaml/parser.cpp can go")


BAD_ESCAPES = [
    pytest.param('"\\xZZ"\n', "at line 1 column 4, while parsing a quoted scalar", id="x-alone"),
    pytest.param('"\\u12"\n', "at line 1 column 4, while parsing a quoted scalar", id="u-alone"),
    pytest.param('"\\U0001F6"\n', "at line 1 column 4, while parsing a quoted scalar",
                 id="U-alone"),
    pytest.param(manifest('    r1:\n      model_name: "ok \\xZZ"\n'),
                 "at line 17 column 25, while parsing a quoted scalar at line 17 column 19",
                 id="x-in-a-reader"),
]


@pytest.mark.parametrize("text, where", BAD_ESCAPES)
def test_bad_escapes_are_reported_as_hexadecimal(tmp_path, libyaml, text, where):
    needs_spelling_fix(libyaml)
    path = tmp_path / "manifest.yaml"
    path.write_text(text, encoding="utf-8")
    expected = SERIALIZING + "did not find expected hexadecimal number " + where
    with pytest.raises(Exception) as read:
        read_corvane_readers_config(str(path), "r1")
    assert read.value.args == (expected,)
    with pytest.raises(Exception) as added:
        ReaderConfig(model_name="m", device="cpu").add_to_manifest_yaml(str(path), "r1")
    assert added.value.args == (expected,)


# --- long %TAG prefixes ----------------------------------------------------------

# A plain "true" where a number belongs reads as a boolean under a local tag
# and as a text under any other, however long the prefix the tag came from.
LONG_PREFIXES = [
    pytest.param("!" + "x" * 100, "boolean `true`", id="local"),
    pytest.param("tag:" + "x" * 100, 'string "true"', id="other"),
    pytest.param("tag:yaml.org,2002:" + "i" * 100, 'string "true"', id="core-lookalike"),
]


@pytest.mark.parametrize("star", ["", "# *\n"], ids=["streamed", "stored"])
@pytest.mark.parametrize("prefix, described", LONG_PREFIXES)
def test_long_tag_prefixes_keep_the_tags_kind(tmp_path, prefix, described, star):
    path = tmp_path / "manifest.yaml"
    path.write_text(f"%TAG !e! {prefix}\n---\n" + manifest(
        "    r1:\n      model_name: m\n      tensor_parallel: !e!nt true\n") + star,
                    encoding="utf-8")
    with pytest.raises(Exception) as read:
        read_corvane_readers_config(str(path), "r1")
    assert read.value.args == (SERIALIZING + "corvane.readers_config.r1.tensor_parallel: invalid "
                               f"type: {described}, expected u32 at line 20 column 24",)


# --- the fast path ------------------------------------------------------------------


@pytest.mark.aarch64_smoke
def test_the_fast_path_is_taken_only_with_libyaml_0_2_5(libyaml):
    expected = libyaml.version == "0.2.5" and fast_path_on() is not False
    assert corvane_config._yaml_fast_path(manifest()) == expected


def benchmark_manifest():
    """bench_read.py's manifest builder."""
    path = pathlib.Path(__file__).resolve().parent.parent / "benchmarks" / "bench_read.py"
    return runpy.run_path(str(path))["manifest"]


# Lines read whole from 32 or 64 bytes need that many bytes after their start.
LONG_LINE = "padding: " + "p" * 60 + "\n"


def taken_texts():
    root = pathlib.Path(__file__).resolve().parent.parent
    yield pytest.param((root / "examples" / "manifest.yaml").read_text(encoding="utf-8"),
                       id="example")
    bench_manifest = benchmark_manifest()
    for count in (1, 100):
        yield pytest.param(bench_manifest(count), id=f"benchmark-{count}")
    yield pytest.param(manifest("    r1: # *not an alias\n      model_name: 'it''s'\n"
                                "      device: \"\\u00e9\\t\"\n"), id="comment-quotes-escapes")
    yield pytest.param("k" * 1024 + ": v\n", id="key-of-1024")
    yield pytest.param("url: http://h:1/p#f   \nquoted:   'x'  \n# note\n\nnext: value of a longer line\n",
                       id="colon-hash-spaces")
    yield pytest.param("a_key_long_enough_to_pass_32_bytes: 'q'\n"
                       "another_key_long_enough_to_pass: v:w#x   \n"
                       "short: \"d\"\nkey_long_enough_to_pass_32_bytes: v #c\n" + LONG_LINE,
                       id="lines-of-64-bytes")


GIVEN_UP = {
    "key-of-1025": "k" * 1025 + ": v\n",
    "quote-escape": "a: \"\\'\"\n",
    "flow": "a: {b: c}\n",
    "anchor": "a: &x b\n",
    "alias": "a: &x b\nc: *x\n",
    "tag": "a: !!str b\n",
    "directive": "%YAML 1.1\n---\na: b\n",
    "document-marker": "---\na: b\n",
    "block-scalar": "a: |\n  b\n",
    "explicit-key": "? a\n: b\n",
    "block-sequence": "a:\n- b\n",
    "tab": "a:\tb\n",
    "bare-cr": "a: b\rc: d\n",
    "nel": "a: b\u0085c\n",
    "bom": "\ufeffa: b\n",
    "nul": "a: b\x00\n",
    "control": "a: b\x07\n",
    "multi-line": "a: b\n  c\n",
    "odd-indentation": "a:\n    b: c\n  d: e\n",
    "mapping-in-value": "a: b: c\n",
    "quote-open-at-line-end": "a: \"b\\\nc: d\"\n" + LONG_LINE,
}


@pytest.mark.parametrize("text", [*taken_texts(), *(pytest.param(text, id=name)
                                                   for name, text in GIVEN_UP.items())])
@pytest.mark.aarch64_smoke
def test_which_texts_take_the_fast_path(text):
    taken = text not in GIVEN_UP.values()
    assert corvane_config._yaml_fast_path(text) == (taken and fast_path_on() is not False)
    assert corvane_config._yaml_events(text, True) == corvane_config._yaml_events(text, False)
