"""The corvane-config command: checks whole deployment manifests before they
ship and prints the manifest format's JSON Schema.

    corvane-config check [--format text|json] MANIFEST...
    corvane-config schema

A MANIFEST of ``-`` is read from standard input. Also runnable as
``python -m corvane_config_cli``. Exit status: 0 when every manifest is
clean, 1 when there is any finding, 2 for usage errors and for any error of
the command itself (one line on standard error). A reader of the output that
goes away early (``| head``) ends the command quietly.
"""

from __future__ import annotations

import argparse
import json
import os
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


# Where `-` is read from: the descriptor itself, so a pipe, a file or a
# terminal on standard input is read as any other manifest.
STDIN_PATH = "/dev/stdin"


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}" if number == 1 else f"{number} {noun}s"


def _check(paths: Sequence[str], output_format: str) -> tuple[int, str]:
    """The exit status and the output of checking `paths`."""
    findings: list[dict[str, object]] = []
    readers = 0
    for path in paths:
        count, raw_findings = corvane_config._check_manifest(  # pyright: ignore[reportPrivateUsage]
            STDIN_PATH if path == "-" else path)
        readers += count
        findings.extend(_finding(path, raw) for raw in raw_findings)
    if output_format == "json":
        output = json.dumps(findings, indent=2, ensure_ascii=False) + "\n"
    else:
        output = "".join(_text_line(finding) + "\n" for finding in findings)
        output += (f"{_count(len(paths), 'manifest')}, {_count(readers, 'reader')}, "
                   f"{_count(len(findings), 'finding')}\n")
    return (1 if findings else 0), output


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


def _fail(text: str) -> int:
    print(f"corvane-config: {' '.join(text.split())}", file=sys.stderr)
    return 2


def _write(out: TextIO | None, text: str) -> None:
    if out is None:  # started with standard output closed
        raise OSError(9, os.strerror(9))
    out.write(text)
    out.flush()


def _discard_output() -> None:
    # What is still buffered would be written (and fail) again at exit.
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status (argparse exits 2 on usage errors)."""
    arguments = _parser().parse_args(argv)
    try:
        if arguments.command == "schema":
            status, output = 0, schema_text()
        else:
            status, output = _check(arguments.manifests, arguments.format)
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        return _fail(f"internal error: {type(error).__name__}: {error}")
    try:
        _write(sys.stdout, output)
    except BrokenPipeError:
        _discard_output()  # the reader has all it wanted
    except OSError as error:
        _discard_output()
        return _fail(f"cannot write the output: {error.strerror or error}")
    return status
