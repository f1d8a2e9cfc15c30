"""`sekvo index FILE`: build or rebuild FILE.fai and print a one-line summary."""

from __future__ import annotations

import os
import time

import sekvo

from .errors import CliError
from .reference import check_fasta_path, describe_open_failure, read_index_entries


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
    # Build beside the old index and swap it in only when complete, so a
    # failed build leaves the old index as it was.
    scratch = f"{index_path}.{os.getpid()}.tmp"
    began = time.perf_counter()
    try:
        try:
            sekvo.Faidx(path, indexname=scratch)
        except MemoryError:
            raise CliError(f"not enough memory to index '{path}'") from None
        except Exception as exc:
            raise CliError(describe_open_failure(path, exc)) from None
        entries = read_index_entries(scratch)
        if not entries:
            raise CliError(f"no sequences found in '{path}'; is it a FASTA file?")
        os.replace(scratch, index_path)
    except OSError as exc:
        raise CliError(f"cannot write the index file '{index_path}': {exc.strerror}") from None
    finally:
        if os.path.exists(scratch):
            os.remove(scratch)
    elapsed = time.perf_counter() - began
    residues = sum(length for _, length, _ in entries)
    names = len({name for name, _, _ in entries})
    repeated = f" ({names:,} distinct names)" if names != len(entries) else ""
    print(f"{index_path}: {len(entries):,} records{repeated}, {residues:,} residues, {elapsed:.2f} s")
    return 0
