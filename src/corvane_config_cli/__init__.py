"""The corvane-config command: checks whole deployment manifests before they
ship and prints the manifest format's JSON Schema.

    corvane-config check [--format text|json] MANIFEST...
    corvane-config schema

Also runnable as ``python -m corvane_config_cli``. Exit status: 0 when every
manifest is clean, 1 when there is any finding, 2 for usage errors.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Sequence
from typing import TextIO

import corvane_config

__all__ = ["main"]

# Said once in the text output when a manifest does not read: any one of
# those findings makes every read of the file fail.
READ_NOTE = "every read of this file fails"


def _finding(path: str, raw: tuple[int, int, str | None, str, str]) -> dict[str, object]:
    line, column, reader_id, kind, message = raw
    return {
        "path": path,
        "line": line,
        "column": column,
        "reader_id": reader_id,
        "kind": kind,
        "message": message,
    }


def _text_line(finding: dict[str, object]) -> str:
    where = f"{finding['path']}:{finding['line']}:{finding['column']}: "
    if finding["reader_id"] is not None:
        where += f"{finding['reader_id']}: "
    message = str(finding["message"])
    if finding["kind"] == "read":
        message += f" ({READ_NOTE})"
    elif finding["kind"] == "add":
        message += " (add_to_manifest_yaml refuses this file)"
    return where + message


def _check(paths: Sequence[str], output_format: str, out: TextIO) -> int:
    findings: list[dict[str, object]] = []
    readers = 0
    for path in paths:
        count, raw_findings = corvane_config._check_manifest(path)  # pyright: ignore[reportPrivateUsage]
        readers += count
        findings.extend(_finding(path, raw) for raw in raw_findings)
    if output_format == "json":
        json.dump(findings, out, indent=2, ensure_ascii=False)
        out.write("\n")
    else:
        for finding in findings:
            out.write(_text_line(finding) + "\n")
        out.write(f"{len(paths)} manifests, {readers} readers, {len(findings)} findings\n")
    return 1 if findings else 0


def schema_text() -> str:
    """The manifest format's JSON Schema (draft-07), as the command prints it."""
    schema = json.loads(corvane_config._manifest_schema())  # pyright: ignore[reportPrivateUsage]
    return json.dumps(schema, indent=2) + "\n"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="corvane-config",
        description="Check corvane deployment manifests; print their JSON Schema.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    check = commands.add_parser(
        "check",
        help="check whole manifests: exit 0 when clean, 1 with findings",
        description="Report everything that makes a read of a manifest fail, every "
        "validate() finding of its readers, and what would make adding a reader refuse it.",
    )
    check.add_argument("--format", choices=("text", "json"), default="text")
    check.add_argument("manifests", nargs="+", metavar="MANIFEST")
    commands.add_parser("schema", help="print the manifest format's JSON Schema (draft-07)")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status (argparse exits 2 on usage errors)."""
    arguments = _parser().parse_args(argv)
    if arguments.command == "schema":
        sys.stdout.write(schema_text())
        return 0
    return _check(arguments.manifests, arguments.format, sys.stdout)
