"""Entry point of the `sekvo` command (also `python -m sekvo_cli`)."""

from __future__ import annotations

import argparse
import gc
import os
import sys

from . import version
from .errors import CliError

COMMANDS = ("index", "faidx", "getfasta")


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
    from importlib import import_module

    parser = _Parser(
        prog="sekvo", allow_abbrev=False,
        description="Fast access to FASTA files through the .fai index.")
    parser.add_argument("--version", action=_ShowVersion, nargs=0, help="print the version and exit")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True, parser_class=_Parser)
    for command in (only,) if only else COMMANDS:
        import_module(f".{command}_cmd", __package__).add_parser(subparsers)
    for sub in subparsers.choices.values():
        sub.allow_abbrev = False
    return parser, subparsers.choices


def main(argv: list[str] | None = None) -> int:
    """Runs a command; argv None: the process's own arguments, and the process
    ends as soon as the command is done (see _exit_now)."""
    if argv is None:
        _exit_now(_run(sys.argv[1:]))
    return _run(argv)


def _exit_now(status: int) -> None:
    """Ends the process with `status` once standard output and error are flushed,
    without the interpreter's teardown: freeing every module and object a
    command made costs a one-shot run several milliseconds and writes nothing."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        status = 141
    except (OSError, ValueError):
        status = status or 120  # as the interpreter's own exit when the flush fails
    try:
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
    os._exit(status)


def _run(argv: list[str]) -> int:
    prefix = f"sekvo {argv[0]}" if argv and argv[0] in COMMANDS else "sekvo"
    try:
        parser, commands = build_parser(argv[0] if argv and argv[0] in COMMANDS else None)
    except ImportError as exc:
        sys.stderr.write(f"{prefix}: error: the sekvo extension module cannot be loaded ({exc})\n")
        return 1
    if argv and argv[0] in commands:
        # Options may follow regions: `sekvo faidx FILE chr1:1-10 -i`.
        args = commands[argv[0]].parse_intermixed_args(argv[1:])
    else:
        args = parser.parse_args(argv)
    # The commands build large lists of strings and tuples and no reference
    # cycles; the cyclic collector would only scan them over and over.
    collecting = gc.isenabled()
    gc.disable()
    try:
        return args.run(args)
    except CliError as exc:
        sys.stderr.write(f"{prefix}: error: {exc}\n")
        return 1
    except KeyboardInterrupt:
        sys.stderr.write(f"{prefix}: interrupted\n")
        return 130
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly, as other tools do.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 141
    finally:
        if collecting:
            gc.enable()


if __name__ == "__main__":
    main()
