"""The command line's argparse parser: help, version, usage and every error
message. Built only for an argv the quick reader (arguments.py) leaves to it."""

from __future__ import annotations

import argparse
import os
import sys

from . import version
from .arguments import COMMANDS, command_module


class _ShowVersion(argparse.Action):
    def __call__(self, parser, namespace, values, option_string=None):
        print(f"sekvo {version()}")
        parser.exit()


def _terminal_columns() -> int:
    """shutil.get_terminal_size().columns, without importing shutil (and the
    compression modules it imports), which argparse would do for every option."""
    try:
        columns = int(os.environ.get("COLUMNS", "0"))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


class _Formatter(argparse.HelpFormatter):
    def __init__(self, prog, indent_increment=2, max_help_position=24, width=None):
        super().__init__(prog, indent_increment, max_help_position,
                         _terminal_columns() - 2 if width is None else width)


class _Parser(argparse.ArgumentParser):
    def __init__(self, *args, formatter_class=_Formatter, **kwargs):
        super().__init__(*args, formatter_class=formatter_class, **kwargs)


def build_parser(only: str | None = None) -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The top-level parser and the parser of each command (of `only`, when
    given: a command run from the shell imports no other command's code)."""
    parser = _Parser(
        prog="sekvo", allow_abbrev=False,
        description="Fast access to FASTA files through the .fai index.")
    parser.add_argument("--version", action=_ShowVersion, nargs=0, help="print the version and exit")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    for command in (only,) if only else COMMANDS:
        command_module(command).add_parser(subparsers)
    for sub in subparsers.choices.values():
        sub.allow_abbrev = False
    return parser, subparsers.choices


def parse(argv: list[str]) -> argparse.Namespace:
    """The arguments of a whole command line; exits with argparse's message on a mistake."""
    parser, commands = build_parser(argv[0] if argv and argv[0] in COMMANDS else None)
    if argv and argv[0] in commands:
        # Options may follow regions: `sekvo faidx FILE chr1:1-10 -i`.
        return commands[argv[0]].parse_intermixed_args(argv[1:])
    return parser.parse_args(argv)
