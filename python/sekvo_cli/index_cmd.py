"""`sekvo index FILE`: build or rebuild FILE.fai and print a one-line summary."""

from __future__ import annotations

import time

import sekvo

from .errors import CliError
from .reference import check_fasta_path, describe_open_failure


def add_parser(subparsers) -> None:
    p = subparsers.add_parser(
        "index", help="build or rebuild the .fai index of a FASTA file",
        description="Build FILE.fai from FILE, replacing any existing index, "
                    "and print the number of records and residues.")
    p.add_argument("fasta", metavar="FILE", help="FASTA file")
    p.set_defaults(run=run)


def run(args) -> int:
    path = args.fasta
    check_fasta_path(path)
    index_path = path + ".fai"
    began = time.perf_counter()
    # The library writes the index beside the old one and swaps it in only
    # when complete, so a failed build leaves the old index as it was.
    try:
        entries = sekvo._write_index(path)
    except MemoryError:
        raise CliError(f"not enough memory to index '{path}'") from None
    except OSError as exc:
        raise CliError(f"cannot write the index file '{index_path}': {exc.strerror}") from None
    except Exception as exc:
        raise CliError(describe_open_failure(path, exc)) from None
    if not entries:
        raise CliError(f"no sequences found in '{path}'; is it a FASTA file?")
    elapsed = time.perf_counter() - began
    residues = sum(length for _, length in entries)
    names = len({name for name, _ in entries})
    repeated = f" ({names:,} distinct names)" if names != len(entries) else ""
    print(f"{index_path}: {len(entries):,} records{repeated}, {residues:,} residues, {elapsed:.2f} s")
    return 0
