"""Fast random access to FASTA files through their .fai index.

Coordinates are 1-based and inclusive unless a class says otherwise. Every
retrieval returns `Sequence` values. `FastaRecord`, `FastaIterator`,
`SequenceIterator` and `MutableFastaRecord` cannot be constructed: records and
iterators come from a `Fasta`, and only unpickling makes a
`MutableFastaRecord`. `SequenceArray` holds the regions of a columnar batch
(`fetch_array`, `fetch_bed`) and their residues in one buffer. Every object
pickles and copies (`Fasta` and `Faidx` as their path and settings, reopened by
the receiver; `Sequence` and `SequenceArray` by value; records and iterators
with their `Fasta`).
"""

from collections.abc import Buffer as _Buffer
from collections.abc import Callable
from collections.abc import Iterator as _Iterator
from collections.abc import Sequence as _Sequence
from os import PathLike
from typing import Any, ClassVar, Literal, NoReturn, SupportsIndex, TypeAlias, final

__all__ = [
    "Fasta",
    "Faidx",
    "Sequence",
    "FastaRecord",
    "FastaIterator",
    "SequenceIterator",
    "MutableFastaRecord",
    "SequenceArray",
]

# Regions: (name, start, end) for a batch over several records, (start, end)
# for a batch or a spliced read of one record.
_Region = tuple[str, SupportsIndex, SupportsIndex]
_Span = tuple[SupportsIndex, SupportsIndex]
# Coordinates given as a column: a sequence of integers or an integer buffer
# such as a numpy int64 array.
_Coordinates = _Sequence[SupportsIndex] | _Buffer
_Path: TypeAlias = str | PathLike[str] | PathLike[bytes]
_BedPath: TypeAlias = str | PathLike[str] | bytes
# What __reduce__ gives pickle and copy: sekvo._reconstruct and its arguments.
_Reduced: TypeAlias = tuple[Callable[[str, Any], Any], tuple[str, Any]]

__version__: str

def _reconstruct(kind: str, state: Any) -> Any:
    """Makes an object of the module again from what its __reduce__ gave (used by pickle)."""

@final
class Fasta:
    """A dictionary of the records of one indexed FASTA file."""

    def __new__(
        cls,
        filename: _Path,
        indexname: _Path | None = None,
        default_seq: str | None = None,
        key_function: object = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        read_ahead: SupportsIndex | None = None,
        mutable: bool = False,
        split_char: str | None = None,
        filt_function: object = None,
        one_based_attributes: bool = True,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        *,
        gziname: _Path | None = None,
    ) -> Fasta: ...
    def keys(self) -> list[str]:
        """Record names in index-file order."""
    def values(self) -> list[FastaRecord]: ...
    def items(self) -> list[tuple[str, FastaRecord]]: ...
    def get_seq(self, name: str, start: SupportsIndex, end: SupportsIndex, rc: bool | None = None) -> Sequence: ...
    def get_spliced_seq(self, name: str, intervals: _Sequence[_Span], rc: bool | None = None) -> Sequence: ...
    def fetch_many(self, regions: _Sequence[_Region], rc: bool | None = None) -> list[Sequence]: ...
    def fetch_many_same_chr(self, name: str, regions: _Sequence[_Span], rc: bool | None = None) -> list[Sequence]: ...
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        rc: bool | None = None,
        names: _Sequence[str] | None = None,
        starts: _Coordinates | None = None,
        ends: _Coordinates | None = None,
    ) -> SequenceArray:
        """Many regions into one SequenceArray, as tuples or as three columns."""
    def fetch_bed(self, path: _BedPath, strand: bool = False) -> SequenceArray:
        """Every interval of a BED file (plain or gzip) into one SequenceArray; its
        labels are the name column."""
    def close(self) -> None:
        """Does nothing: the file is released with the last object that uses it."""
    def __enter__(self) -> Fasta: ...
    def __exit__(self, _exc_type: object = None, _exc_value: object = None, _traceback: object = None) -> None: ...
    def __reduce__(self) -> _Reduced:
        """The path(s) and settings; unpickling opens the file again."""
    def __getitem__(self, key: str | SupportsIndex, /) -> FastaRecord:
        """A record by name, or by position in index-file order."""
    def __contains__(self, key: str, /) -> bool: ...
    def __len__(self) -> int:
        """Total residues of all records (not the number of records)."""
    def __iter__(self) -> FastaIterator: ...
    def __repr__(self) -> str: ...

@final
class Faidx:
    """One index handle: regions, whole records and batches as Sequence values."""

    def __new__(
        cls,
        filename: _Path,
        indexname: _Path | None = None,
        as_raw: bool = False,
        strict_bounds: bool = False,
        sequence_always_upper: bool = False,
        rebuild: bool = True,
        build_index: bool = True,
        one_based_attributes: bool = True,
        default_seq: str | None = None,
        mutable: bool = False,
        key_function: object = None,
        split_char: str | None = None,
        filt_function: object = None,
        read_long_names: bool = False,
        duplicate_action: str = ...,
        read_ahead: SupportsIndex | None = None,
        *,
        gziname: _Path | None = None,
    ) -> Faidx: ...
    def fetch(self, name: str, start: SupportsIndex, end: SupportsIndex) -> Sequence: ...
    def fetch_entire_sequence(self, name: str) -> Sequence: ...
    def fetch_many(self, regions: _Sequence[_Region]) -> list[Sequence]: ...
    def fetch_many_same_chr(self, name: str, regions: _Sequence[_Span]) -> list[Sequence]: ...
    def fetch_array(
        self,
        regions: _Sequence[_Region] | None = None,
        rc: bool | None = None,
        names: _Sequence[str] | None = None,
        starts: _Coordinates | None = None,
        ends: _Coordinates | None = None,
    ) -> SequenceArray:
        """Many regions into one SequenceArray, as tuples or as three columns."""
    def fetch_bed(self, path: _BedPath, strand: bool = False) -> SequenceArray:
        """Every interval of a BED file (plain or gzip) into one SequenceArray; its
        labels are the name column."""
    @property
    def keys(self) -> list[str]:
        """Record names in index-file order (an attribute, not a method)."""
    def __contains__(self, key: str, /) -> bool: ...
    def __repr__(self) -> str: ...
    def __reduce__(self) -> _Reduced:
        """The path(s) and settings; unpickling opens the file again."""

@final
class Sequence:
    """Residue text with its record name, coordinates and complement flag."""

    name: str
    seq: str
    start: int | None
    end: int | None
    comp: bool
    __hash__: ClassVar[None]  # type: ignore[assignment]

    def __new__(
        cls,
        name: str = ...,
        seq: str = ...,
        start: SupportsIndex | None = None,
        end: SupportsIndex | None = None,
        comp: bool = False,
    ) -> Sequence: ...
    @property
    def long_name(self) -> str: ...
    @property
    def fancy_name(self) -> str: ...
    @property
    def complement(self) -> Sequence: ...
    @property
    def reverse(self) -> Sequence: ...
    @property
    def orientation(self) -> Literal[1, -1] | None: ...
    @property
    def gc(self) -> float: ...
    @property
    def gc_strict(self) -> float: ...
    @property
    def gc_iupac(self) -> float: ...
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __neg__(self) -> Sequence:
        """The reverse complement."""
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __reduce__(self) -> _Reduced:
        """By value: name, residues, start, end and comp."""

@final
class FastaRecord:
    """One record of a Fasta; reads residues when asked."""

    @property
    def name(self) -> str: ...
    @property
    def long_name(self) -> str: ...
    @property
    def unpadded_len(self) -> int:
        """Length without leading and trailing runs of N."""
    def __getitem__(self, key: SupportsIndex | slice, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> SequenceIterator: ...
    def __reversed__(self) -> list[Sequence]: ...
    def __str__(self) -> str: ...
    def __repr__(self) -> str: ...
    def __reduce__(self) -> _Reduced:
        """Its Fasta and its name."""

@final
class FastaIterator:
    """The records of a Fasta, over the names it had when the iterator was made."""

    def __iter__(self) -> FastaIterator: ...
    def __next__(self) -> FastaRecord: ...
    def __reduce__(self) -> _Reduced:
        """Its Fasta and the names still to come."""

@final
class SequenceIterator:
    """One record in pieces of one line's width."""

    def __iter__(self) -> SequenceIterator: ...
    def __next__(self) -> Sequence: ...
    def __reduce__(self) -> _Reduced:
        """Its Fasta, the record's name and the position of the next piece."""

@final
class MutableFastaRecord:
    """Reserved for writable records; assignment is not implemented."""

    def __setitem__(self, key: object, value: str, /) -> NoReturn: ...
    def __delitem__(self, key: object, /) -> NoReturn: ...
    def __reduce__(self) -> _Reduced: ...

@final
class SequenceArray:
    """The residues of many regions in one immutable buffer.

    `arr[i]` is the Sequence fetch_many would give for region i. When every
    region has the same length L the buffer protocol gives a (len, L) uint8
    array (numpy.asarray(arr)), otherwise BufferError; the Arrow PyCapsule
    interface gives a large_string array. Neither copies, and every export
    stays valid after the SequenceArray, Faidx or Fasta are gone.
    """

    @property
    def data(self) -> memoryview:
        """Read-only uint8 view of all residues, region after region."""
    @property
    def offsets(self) -> memoryview:
        """Read-only int64 view of len + 1 offsets into data."""
    @property
    def names(self) -> list[str]:
        """The record name of every region."""
    @property
    def labels(self) -> list[str]:
        """The BED name (fourth) column of every region: "" for a line with three
        columns and for every region given to fetch_array()."""
    @property
    def starts(self) -> memoryview:
        """Read-only uint64 view of the 1-based first positions asked for."""
    @property
    def ends(self) -> memoryview:
        """Read-only uint64 view of the 1-based last positions asked for."""
    def to_pylist(self) -> list[str]: ...
    def one_hot(self, alphabet: str = "ACGT") -> memoryview:
        """Read-only uint8 view of shape (len, L, len(alphabet))."""
    def __array__(self, dtype: object = None, copy: bool | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(self, requested_schema: object = None) -> tuple[object, object]:
        """large_string; a requested string, large_binary or binary schema is followed."""
    def __arrow_c_stream__(self, requested_schema: object = None) -> object: ...
    def __reduce_ex__(self, protocol: SupportsIndex) -> _Reduced:
        """By value; under protocol 5 the columns go as out-of-band buffers (pickle.PickleBuffer)."""
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...
    def __getitem__(self, key: SupportsIndex, /) -> Sequence: ...
    def __len__(self) -> int: ...
    def __iter__(self) -> _Iterator[Sequence]: ...
    def __repr__(self) -> str: ...
