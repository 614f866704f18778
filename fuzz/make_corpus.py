#!/usr/bin/env python3
"""Writes the seed corpus of the manifest fuzzer into fuzz/corpus/manifest/:
the example manifest and the manifests of the reference cases (a sample of at
most LIMIT, small ones first within each group so every group is seeded).
Files are named by the hash of their content, so rerunning is idempotent and
inputs added by hand (regressions) stay. The text fuzzer gets a few seeds
in fuzz/corpus/text/.

Usage: fuzz/make_corpus.py [CASES_JSONL]
"""

import hashlib
import json
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
CASES = ROOT / "tests" / "data" / "yaml_cases.jsonl"
LIMIT = 250
MAX_BYTES = 4096


def write(directory: pathlib.Path, data: bytes) -> bool:
    directory.mkdir(parents=True, exist_ok=True)
    path = directory / hashlib.sha1(data).hexdigest()
    if path.exists():
        return False
    path.write_bytes(data)
    return True


def manifest_seeds(cases_path: pathlib.Path) -> list[bytes]:
    seeds = [(ROOT / "examples" / "manifest.yaml").read_bytes()]
    by_group: dict[str, list[bytes]] = {}
    for line in cases_path.read_text(encoding="utf-8").splitlines():
        case = json.loads(line)
        data = case["yaml"].encode("utf-8")
        if len(data) <= MAX_BYTES:
            by_group.setdefault(case["group"], []).append(data)
    for group in by_group.values():
        group.sort(key=len)
    # Round robin over the groups until the limit is reached.
    while len(seeds) < LIMIT and any(by_group.values()):
        for group in by_group.values():
            if group and len(seeds) < LIMIT:
                seeds.append(group.pop(0))
    return seeds


def main() -> None:
    cases = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else CASES
    corpus = ROOT / "fuzz" / "corpus"
    added = sum(write(corpus / "manifest", seed) for seed in manifest_seeds(cases))
    texts = [b"", b"reader-b\x00/srv\x00model\x00cpu\x00group", "ü\n'x' #:\t\r\u2028\U0001F600".encode(),
             b"null\x00true\x00007\x000x1f\x00- a\x00? b\x00{c}\x00\"d\"\n\n"]
    added += sum(write(corpus / "text", seed) for seed in texts)
    print(f"{added} new seed files in {corpus}")


if __name__ == "__main__":
    main()
