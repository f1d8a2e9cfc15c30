"""Warnings on standard error, kept clear of the progress bar."""

from __future__ import annotations

import sys

from .progress import Progress


class Messages:
    def __init__(self, command: str, progress: Progress | None = None):
        self.prefix = f"sekvo {command}: "
        self.progress = progress

    def warn(self, text: str) -> None:
        if self.progress is not None:
            self.progress.close()
        sys.stderr.write(f"{self.prefix}warning: {text}\n")
        sys.stderr.flush()
