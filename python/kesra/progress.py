"""A progress line on standard error for package calls that make several engine calls."""

from __future__ import annotations

import os
import sys
import time
from types import TracebackType

REDRAW_SECONDS = 0.05  # at most 20 redraws a second, as the engine's own bar


class ProgressBar:
    """One line on standard error, "{label} {bar} {pos}/{len}", drawn only when
    standard error is a terminal and erased when the block ends.

    Each `phase` starts the bar again from 0 under a new label, on the same line, so a
    call that passes over its rows twice (counting, then finding) shows one bar.
    """

    def __init__(self, total: int, enabled: bool) -> None:
        self._total, self._position, self._label = total, 0, ""
        self._drawn_at = -1.0
        self._stream = sys.stderr if enabled and sys.stderr is not None and sys.stderr.isatty() else None

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        if self._stream is not None and self._drawn_at >= 0:
            self._stream.write("\r\x1b[2K")
            self._stream.flush()

    def phase(self, label: str) -> None:
        self._label, self._position = label, 0
        self._draw(force=True)

    def advance(self, rows: int) -> None:
        self._position += rows
        self._draw(force=self._position >= self._total)

    def _draw(self, force: bool) -> None:
        if self._stream is None:
            return
        now = time.monotonic()
        if not force and now - self._drawn_at < REDRAW_SECONDS:
            return
        self._drawn_at = now
        try:
            width = os.get_terminal_size(self._stream.fileno()).columns
        except (OSError, ValueError):
            width = 80
        counter = f"{self._position}/{self._total}"
        room = max(width - len(self._label) - len(counter) - 3, 10)
        done = room * self._position // self._total if self._total else room
        self._stream.write(f"\r{self._label} {'█' * done}{'░' * (room - done)} {counter}")
        self._stream.flush()
