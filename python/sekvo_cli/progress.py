"""A one-line progress bar on standard error, drawn only for a terminal."""

from __future__ import annotations

import sys
import time
from io import TextIOBase   # not typing.TextIO: typing is slow to import

BAR_WIDTH = 30
REDRAW_SECONDS = 0.1


class Progress:
    """Phases of work, each with a count; silent unless `enabled`."""

    def __init__(self, enabled: bool, stream: TextIOBase | None = None):
        self.enabled = enabled
        self.stream = stream if stream is not None else sys.stderr
        self.label = ""
        self.total = self.done = 0
        self.last_draw = 0.0
        self.drawn = False

    @classmethod
    def for_lines(cls, lines: int, threshold: int, stream: TextIOBase | None = None) -> Progress:
        """Enabled for more than `threshold` lines when the stream is a terminal."""
        stream = stream if stream is not None else sys.stderr
        try:
            tty = stream.isatty()
        except (AttributeError, ValueError):
            tty = False
        return cls(tty and lines > threshold, stream)

    def phase(self, label: str, total: int) -> None:
        self.label, self.total, self.done = label, total, 0
        self._draw(force=True)

    def advance(self, count: int) -> None:
        self.done += count
        self._draw(force=self.done >= self.total)

    def _draw(self, force: bool) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.last_draw < REDRAW_SECONDS:
            return
        self.last_draw = now
        share = min(1.0, self.done / self.total) if self.total else 1.0
        filled = int(share * BAR_WIDTH)
        bar = "#" * filled + "." * (BAR_WIDTH - filled)
        self.stream.write(f"\r\x1b[K{self.label:<9} [{bar}] {share:4.0%}  "
                          f"{self.done:,}/{self.total:,}")
        self.stream.flush()
        self.drawn = True

    def close(self) -> None:
        """Erase the bar so that later messages start on a clean line."""
        if self.enabled and self.drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self.drawn = False
