"""The state of the genome's page cache, set on purpose before timing.

"Warm page cache" is not one state. On kernels whose page cache holds large
folios (ext4 from 6.16, xfs from 5.18), how a file got into the cache decides
how a mapping of it costs: after a sequential read the cache holds the file in
large folios, often 2 MB ones, which a mapping gets as whole page-table blocks
(few faults, few TLB misses, a cheap unmap); after a first read through a
mapping in random order it holds single 4 kB pages, each a fault-around entry,
a TLB entry and an unmap step of its own. Tools that read() the file pay about
the same either way. The benchmark data's cache state otherwise depends on
whatever touched it last, so the benchmark sets it:

  filled_by_reading(path)   as `cat FILE > /dev/null` leaves it after a reboot
  filled_by_mapping(path)   as a first random-order access through a mapping leaves it

Both drop the file's cached pages first (POSIX_FADV_DONTNEED: clean pages
only, this file only), so each costs one read of the file from disk.
"""

from __future__ import annotations

import mmap
import os
import random
import struct

PAGE = mmap.PAGESIZE
_HEAD, _TAIL = 1 << 15, 1 << 16      # /proc/kpageflags: compound page head and tail


def _drop(fd: int) -> None:
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)


def filled_by_reading(path: str) -> None:
    with open(path, "rb", buffering=0) as f:
        _drop(f.fileno())
        while f.read(16 << 20):
            pass


def filled_by_mapping(path: str, seed: int = 1) -> None:
    with open(path, "rb", buffering=0) as f:
        _drop(f.fileno())
        size = os.fstat(f.fileno()).st_size
        if size == 0:
            return
        with mmap.mmap(f.fileno(), size, prot=mmap.PROT_READ) as view:
            pages = list(range(0, size, PAGE))
            random.Random(seed).shuffle(pages)
            for offset in pages:
                view[offset]


def large_folio_share(path: str) -> float | None:
    """Share of the file's cached pages that belong to large folios, or None
    where /proc/kpageflags cannot be read (it needs root)."""
    try:
        flags = open("/proc/kpageflags", "rb", buffering=0)
    except OSError:
        return None
    with flags, open(path, "rb", buffering=0) as f, open("/proc/self/pagemap", "rb", buffering=0) as pagemap:
        size = os.fstat(f.fileno()).st_size
        if size == 0:
            return None
        with mmap.mmap(f.fileno(), size, prot=mmap.PROT_READ) as view:
            start = _mapping_start(f.fileno())
            large = cached = 0
            for offset in range(0, size, PAGE):
                view[offset]        # maps the cached page (reads it in if it was not cached)
                pagemap.seek((start + offset) // PAGE * 8)
                entry = struct.unpack("<Q", pagemap.read(8))[0]
                if not entry >> 63:
                    continue
                flags.seek((entry & ((1 << 55) - 1)) * 8)
                word = flags.read(8)
                if len(word) != 8:
                    return None
                cached += 1
                large += bool(struct.unpack("<Q", word)[0] & (_HEAD | _TAIL))
    return large / cached if cached else None


def _mapping_start(fd: int) -> int:
    """Start address of this process's newest mapping of the file open on fd."""
    inode = os.fstat(fd).st_ino
    start = None
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) >= 5 and int(fields[4]) == inode and int(fields[2], 16) == 0:
                start = int(fields[0].split("-")[0], 16)
    if start is None:
        raise OSError("mapping not found in /proc/self/maps")
    return start
