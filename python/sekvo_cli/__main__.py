"""Entry point of the `sekvo` command (also `python -m sekvo_cli`)."""

from __future__ import annotations

import gc
import os
import sys

from .arguments import COMMANDS, command_module, read_arguments
from .errors import CliError

TYPE_CHECKING = False
if TYPE_CHECKING:       # typing is slow to import
    from typing import Any


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
    command = argv[0] if argv and argv[0] in COMMANDS else None
    prefix = f"sekvo {command}" if command else "sekvo"
    try:
        args: Any = read_arguments(command_module(command).add_parser, argv[1:]) if command else None
        if args is None:
            from .parser import parse   # help, usage and argparse's messages

            args = parse(argv)
    except ImportError as exc:
        sys.stderr.write(f"{prefix}: error: the sekvo extension module cannot be loaded ({exc})\n")
        return 1
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
