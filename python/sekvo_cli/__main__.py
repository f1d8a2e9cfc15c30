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


def build_parser() -> tuple[argparse.ArgumentParser, dict[str, argparse.ArgumentParser]]:
    """The top-level parser and the parser of each command."""
    from . import faidx_cmd, getfasta_cmd, index_cmd

    parser = argparse.ArgumentParser(
        prog="sekvo", allow_abbrev=False,
        description="Fast access to FASTA files through the .fai index.")
    parser.add_argument("--version", action=_ShowVersion, nargs=0, help="print the version and exit")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for module in (index_cmd, faidx_cmd, getfasta_cmd):
        module.add_parser(subparsers)
    for sub in subparsers.choices.values():
        sub.allow_abbrev = False
    return parser, subparsers.choices


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    prefix = f"sekvo {argv[0]}" if argv and argv[0] in COMMANDS else "sekvo"
    try:
        parser, commands = build_parser()
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
    sys.exit(main())
