"""In-process tools measured by the benchmark, one adapter class per tool.

Each adapter turns the shared inputs (BED intervals: name, 0-based start,
end) into its own call convention outside the timed part, and offers the
workloads it can do as variants:

    variants(workload) -> {label: Variant}

A Variant has prepare(inputs) -> prepared (not timed) and run(prepared,
collect) (timed with collect=False; with collect=True it returns the
residues as a list of str, used to check that all tools agree).

Workloads: "index" (build the index of a genome that has none), "batch"
(many regions of any records), "batch_raw" (the same, results
left as the tool returns them; falls back to "batch"), "same_chr" (many
regions of one record),
"single" (one call per region), "whole" (one entire record), and "open"
(open a genome whose index exists; used for memory).
"""

from __future__ import annotations

import importlib
import mmap
import os
from dataclasses import dataclass
from typing import Any, Callable


@dataclass
class Variant:
    prepare: Callable[[Any], Any]
    run: Callable[[Any, bool], Any]
    # Called before each timed run, untimed: drops state a tool keeps between
    # calls (a cached record) so that every run reads the file again.
    reset: Callable[[], None] | None = None


def _identity(x):
    return x


class Tool:
    name = ""
    module = ""             # imported to check that the tool is installed
    index_suffixes: tuple[str, ...] = (".fai",)

    def __init__(self, genome: str):
        self.genome = genome
        self.handle = None

    @classmethod
    def availability(cls) -> tuple[bool, str]:
        """(installed, version or the reason it is missing)."""
        try:
            mod = importlib.import_module(cls.module)
        except Exception as exc:  # an install can fail in odd ways
            return False, f"{type(exc).__name__}: {exc}"
        return True, str(getattr(mod, "__version__", ""))

    def index_files(self) -> list[str]:
        return [self.genome + s for s in self.index_suffixes]

    def open(self) -> None:
        raise NotImplementedError

    def variants(self, workload: str) -> dict[str, Variant]:
        return {}


def _loop(call: Callable, convert: Callable = _identity):
    """Single-call variant: one call per region, results dropped unless collected."""
    def run(regions, collect):
        if collect:
            return [convert(call(c, s, e)) for c, s, e in regions]
        for c, s, e in regions:
            call(c, s, e)
    return run


def _one_based(bed):
    return [(c, s + 1, e) for c, s, e in bed]


class Sekvo(Tool):
    name = "sekvo"
    module = "sekvo"

    def open(self):
        import sekvo
        self.handle = sekvo.Faidx(self.genome)
        self.fasta = sekvo.Fasta(self.genome)

    def variants(self, workload):
        import sekvo
        h = self.handle
        if workload == "index":
            return {"Faidx(path)": Variant(_identity, lambda _, collect: sekvo.Faidx(self.genome))}
        if workload == "open":
            return {"Faidx(path)": Variant(_identity, lambda _, collect: sekvo.Faidx(self.genome))}
        if workload == "batch":
            return {"fetch_many": Variant(
                _one_based, lambda regions, collect: [str(s) for s in h.fetch_many(regions)])}
        if workload == "batch_raw":
            return {"fetch_many": Variant(_one_based, lambda regions, collect: h.fetch_many(regions))}
        if workload == "same_chr":
            def run_same(prepared, collect):
                name, pairs = prepared
                return [str(s) for s in h.fetch_many_same_chr(name, pairs)]
            return {
                "fetch_many_same_chr": Variant(
                    lambda bed: (bed[0][0], [(s + 1, e) for _, s, e in bed]), run_same),
                "fetch_many": Variant(
                    _one_based, lambda regions, collect: [str(s) for s in h.fetch_many(regions)]),
            }
        if workload == "single":
            records = {}

            def record_slices(bed):
                for c, _, _ in bed:
                    if c not in records:
                        records[c] = self.fasta[c]
                return [(records[c], s, e) for c, s, e in bed]

            def slice_loop(regions, collect):
                if collect:
                    return [str(r[s:e]) for r, s, e in regions]
                for r, s, e in regions:
                    r[s:e]
            return {
                "Faidx.fetch": Variant(_one_based, _loop(h.fetch, str)),
                "Fasta.get_seq": Variant(_one_based, _loop(self.fasta.get_seq, str)),
                "record[a:b]": Variant(record_slices, slice_loop),
            }
        if workload == "whole":
            return {"fetch_entire_sequence": Variant(
                _identity, lambda name, collect: [str(h.fetch_entire_sequence(name))])}
        return {}


class Pysam(Tool):
    name = "pysam"
    module = "pysam"

    def open(self):
        import pysam
        self.handle = pysam.FastaFile(self.genome)

    def variants(self, workload):
        import pysam
        h = self.handle
        if workload == "index":
            return {"pysam.faidx": Variant(_identity, lambda _, collect: pysam.faidx(self.genome))}
        if workload == "open":
            return {"FastaFile(path)": Variant(_identity, lambda _, collect: pysam.FastaFile(self.genome))}
        if workload in ("batch", "same_chr"):
            def run(bed, collect):
                fetch = h.fetch
                return [fetch(c, s, e) for c, s, e in bed]
            return {"FastaFile.fetch loop": Variant(_identity, run)}
        if workload == "single":
            return {"FastaFile.fetch": Variant(_identity, _loop(h.fetch))}
        if workload == "whole":
            return {"FastaFile.fetch": Variant(_identity, lambda name, collect: [h.fetch(name)])}
        return {}


class Pyfastx(Tool):
    name = "pyfastx"
    module = "pyfastx"
    index_suffixes = (".fxi",)

    def open(self):
        import pyfastx
        self.handle = pyfastx.Fasta(self.genome)
        self.records = {}

    def reopen(self):
        """Fasta.fetch and record.seq keep the last whole record read in memory."""
        self.open()

    def record(self, name):
        r = self.records.get(name)
        if r is None:
            r = self.records[name] = self.handle[name]
        return r

    def variants(self, workload):
        import pyfastx
        if workload in ("index", "open"):
            return {"Fasta(path)": Variant(_identity, lambda _, collect: pyfastx.Fasta(self.genome))}
        # Slicing a record object reads only the region.  Fasta.fetch reads and
        # keeps the whole record (about 1.6 ms per call on a 50 MB genome when
        # the record changes), so it is only timed where records repeat.
        def by_record(bed):
            return [(self.record(c), s, e) for c, s, e in bed]

        def slices(regions, collect):
            return [r[s:e].seq for r, s, e in regions]

        def fetches(bed, collect):
            fetch = self.handle.fetch
            return [fetch(c, (s + 1, e)) for c, s, e in bed]

        if workload in ("batch", "same_chr"):
            out = {"record[a:b].seq loop": Variant(by_record, slices)}
            if workload == "same_chr":
                out["Fasta.fetch loop"] = Variant(_identity, fetches, self.reopen)
            return out
        if workload == "single":
            def run_single(regions, collect):
                if collect:
                    return slices(regions, collect)
                for r, s, e in regions:
                    r[s:e].seq
            return {"record[a:b].seq": Variant(by_record, run_single)}
        if workload == "whole":
            return {"Fasta[name].seq": Variant(
                _identity, lambda name, collect: [self.handle[name].seq], self.reopen)}
        return {}


def read_fai(path: str) -> dict[str, tuple[int, int, int, int]]:
    index = {}
    with open(path) as f:
        for line in f:
            name, length, offset, lenc, lenb = line.rstrip("\n").split("\t")[:5]
            index[name] = (int(length), int(offset), int(lenc), int(lenb))
    return index


def python_build_index(path: str) -> dict[str, tuple[int, int, int, int]]:
    """Index by counting line feeds per record on a mapping (no per-line checks).

    This is a floor, not a validator: it trusts that all lines of a record but
    the last have the width of the first and that lines end in a bare LF.
    """
    index = {}
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        size = len(mm)
        pos = mm.find(b">")
        while pos != -1:
            header_end = mm.find(b"\n", pos)
            name = mm[pos + 1:header_end].split()[0].decode()
            offset = header_end + 1
            nxt = mm.find(b"\n>", offset - 1)
            end = size if nxt == -1 else nxt + 1
            first = mm.find(b"\n", offset, end)
            lenb = (first - offset + 1) if first != -1 else end - offset
            lines = 0
            for block in range(offset, end, 1 << 26):
                lines += mm[block:min(block + (1 << 26), end)].count(b"\n")
            index[name] = (end - offset - lines, offset, lenb - 1, lenb)
            pos = nxt + 1 if nxt != -1 else -1
    return index


class PythonMmap(Tool):
    """Floor: a reader written in plain Python over a read-only mapping."""
    name = "python-mmap"
    module = "mmap"

    @classmethod
    def availability(cls):
        return True, "stdlib"

    def open(self):
        self.index = read_fai(self.genome + ".fai")
        self._file = open(self.genome, "rb")
        self.mm = mmap.mmap(self._file.fileno(), 0, access=mmap.ACCESS_READ)

    def fetch(self, name, start, end):
        """Residues [start, end) of a record (0-based, half-open)."""
        _, offset, lenc, lenb = self.index[name]
        a = offset + start // lenc * lenb + start % lenc
        b = offset + end // lenc * lenb + end % lenc
        return self.mm[a:b].translate(None, b"\r\n").decode("ascii")

    def variants(self, workload):
        if workload == "index":
            return {"count line feeds": Variant(_identity, lambda _, collect: python_build_index(self.genome))}
        if workload == "open":
            return {"mmap + read .fai": Variant(_identity, lambda _, collect: self.open())}
        fetch = self.fetch
        if workload in ("batch", "same_chr"):
            return {"slice+translate": Variant(
                _identity, lambda bed, collect: [fetch(c, s, e) for c, s, e in bed])}
        if workload == "single":
            return {"slice+translate": Variant(_identity, _loop(fetch))}
        if workload == "whole":
            return {"slice+translate": Variant(
                _identity, lambda name, collect: [fetch(name, 0, self.index[name][0])])}
        return {}


class StringFloor(Tool):
    """Floor: only creating the result strings, from records held as str."""
    name = "str-floor"
    module = "builtins"

    @classmethod
    def availability(cls):
        return True, "stdlib"

    def open(self):
        index = read_fai(self.genome + ".fai")
        self.records = {}
        with open(self.genome, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
            for name, (length, offset, lenc, lenb) in index.items():
                lines = (length + lenc - 1) // lenc
                raw = mm[offset:offset + lines * lenb]
                self.records[name] = raw.translate(None, b"\r\n").decode("ascii")[:length]

    def variants(self, workload):
        records = getattr(self, "records", None)
        if workload in ("batch", "same_chr"):
            return {"str slices": Variant(
                _identity, lambda bed, collect: [records[c][s:e] for c, s, e in bed])}
        if workload == "single":
            return {"str slice": Variant(_identity, _loop(lambda c, s, e: records[c][s:e]))}
        return {}


TOOLS: dict[str, type[Tool]] = {t.name: t for t in (Sekvo, Pysam, Pyfastx, PythonMmap, StringFloor)}
