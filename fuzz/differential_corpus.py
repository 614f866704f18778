"""Writes the fixed corpus of the fast path's differential check into a
directory: the conformance texts, generated manifests and edge cases of the
recognizer's subset and of its borders. fuzz/differential.sh runs both fuzz
targets' checks over it.

Run: python fuzz/differential_corpus.py OUT_DIR"""

import hashlib
import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
from manifests import manifest  # noqa: E402

READER = ("    reader-{i}:\n      model_name: model-{i}\n      device: cuda\n"
          "      consumer_group: group-{i}\n      max_batch_size: 32\n"
          "      cuda_visible_devices: \"0,1\"\n      page_cache_size: 2GB\n")


def nested(levels, indent=2, value="x"):
    return "".join(" " * (indent * k) + f"k{k}:\n" for k in range(levels)) + \
        " " * (indent * levels) + f"leaf: {value}\n"


def edge_cases():
    yield ""
    yield "\n\n# only a comment\n   \n"
    yield "a: b"
    yield "a: b\n"
    yield "a:"
    yield "a:\n"
    yield "a:\nb:\n"
    yield "a:\n  b: c"
    yield "a:\n  b: c\n "
    yield "a:\n  b: c\n   "
    yield "a:\n  b: c\n # end"
    yield "a:\n  b:\n    c: d\n  "
    yield "a:\n    b: c\n  # x\n"
    yield "  a: b\n  c: d\n"
    yield "  a: b\n  c:\n    d: e\n  f: g"
    yield "a: b # c\nd: 'e' # f\ng: \"h\"   # i\n"
    yield "a: b#c\n"
    yield "a: b  c   \n"
    yield "a b: c d\n"
    yield "a:b: c\n"
    yield "a: b\nc:d\n"
    yield "a: http://x:8080/y\n"
    yield "a: b:\n"
    yield "a: b: c\n"
    yield "a : b\n"
    yield "'a': b\n\"c\": d\n'e''f': 'g''h'\n"
    yield "'a':b\n"
    yield "a: 'b'c\n"
    yield "a: 'b'#c\n"
    yield "a: \"\\0\\a\\b\\t\\n\\v\\f\\r\\e\\ \\\"\\/\\\\\\N\\_\\L\\P\"\n"
    yield "a: \"\\x41\\xe9\\u00e9\\u20ac\\U0001F600\\U0010FFFF\"\n"
    yield "a: \"\\'\"\n"
    yield "a: \"\\ud800\"\n"
    yield "a: \"\\U00110000\"\n"
    yield "a: \"\\q\"\n"
    yield "a: \"\\x4\"\n"
    yield "a: \"b\\\nc: d\"\n"
    yield "a: 'b\\\nc: d'\n"
    yield "a: \"b\n  c\"\n"
    yield "a: b\n  c\n"
    yield "a: b\n\n  c\n"
    yield "a: b\n  # c\nd: e\n"
    yield "a: -1\nb: -x\nc: - x\nd: -\n"
    yield "a: ?x\nb: :x\nc: ? x\n"
    yield "a: *x\nb: &x y\nc: !t z\n"
    yield "a: b # *x\n"
    yield "a: [b]\nc: {d: e}\n"
    yield "a: |\n  b\n"
    yield "a: >\n  b\n"
    yield "---\na: b\n"
    yield "a: b\n...\n"
    yield "a: b\n---\nc: d\n"
    yield "%YAML 1.1\n---\na: b\n"
    yield "a:\tb\n"
    yield "a: b\t# c\n"
    yield "a: b # c\td\n"
    yield "\ta: b\n"
    yield "a: b\r\nc: d\r\n"
    yield "a: b\rc: d\n"
    yield "\ufeffa: b\n"
    yield "a: b\ufeff\n"
    yield "a: b\u0085c\n"
    yield "a: b\u2028c\n"
    yield "a: b\x00\n"
    yield "a: b\x07\n"
    yield "a: b\x7f\n"
    yield "a: \u00e9t\u00e9 \U0001F600\nk\u00e9y: \u4e2d\u6587\n"
    yield "a: \ue000\ufffd\n"
    yield "a: @x\nb: `x\nc: %x\n"
    yield "a:\n  b: c\n d: e\n"
    yield "a:\n  b: c\n    d: e\n"
    yield "a: b\nc:\n"
    yield "a:\n\n\n  b: c\n\n"
    yield "a:\n  # c\n  b: c\n"
    yield "- a\n- b\n"
    yield "a:\n- b\n"
    yield "a:\n  - b\n"
    yield "? a\n: b\n"
    yield "plain\n"
    yield "a: b\nc\n"
    yield "a: b\nc: d\na: e\n"
    for limit in (1020, 1022, 1023, 1024, 1025, 1026, 1030):
        yield "k" * limit + ": v\n"
        yield "x: y\n" + "\u00e9" * limit + ": v\n"
        yield "\u20ac" * limit + ":\n  a: b\n"
        yield "'" + "q" * (limit - 2) + "': v\n"
        yield "v: " + "z" * limit + "\n"
    for levels in (1, 2, 50, 127, 128, 129, 200):
        yield nested(levels)
        yield nested(levels, indent=1)
    yield nested(3, indent=4, value="'q'")
    yield manifest("    r1:\n" + nested(129, value="m").replace("\n", "\n        ")[:-8]
                   .replace("k0:", "junk:", 1).join(["      ", ""]) +
                   "      model_name: m\n      device: cpu\n      consumer_group: g\n")


def padded(text):
    """The text with a long line after it: the recognizer reads a line in
    word or vector steps only where that many bytes follow, so each edge
    case is also met there."""
    return text + "\npadding: " + "p" * 48 + "\n"


def shifted(text):
    """The text with every line 40 columns further in: its lines then end past
    the first 32 bytes, where the widest reading classifies 64 at once."""
    margin = " " * 40
    return margin + text.replace("\n", "\n" + margin)


def manifests():
    for count in (0, 1, 3, 10, 100):
        yield manifest("".join(READER.format(i=i) for i in range(count)))
    example = HERE.parent / "examples" / "manifest.yaml"
    yield example.read_text(encoding="utf-8")


def conformance():
    cases = HERE.parent / "tests" / "data" / "yaml_cases.jsonl"
    with open(cases, encoding="utf-8") as lines:
        for line in lines:
            yield json.loads(line)["yaml"]


def main():
    out = pathlib.Path(sys.argv[1])
    out.mkdir(parents=True, exist_ok=True)
    count = 0
    for text in (*edge_cases(), *map(padded, edge_cases()),
                 *(padded(shifted(text)) for text in edge_cases()), *manifests(), *conformance()):
        data = text.encode("utf-8", "surrogatepass")
        (out / hashlib.sha1(data).hexdigest()).write_bytes(data)
        count += 1
    print(f"{count} texts written to {out}")


if __name__ == "__main__":
    main()
