"""Turning the ``progress`` argument into a callback for the compiled core."""

from __future__ import annotations

import sys
from typing import Callable, Optional, Tuple, Union

ProgressCallback = Callable[[str, float], object]
ProgressArg = Union[None, bool, ProgressCallback]

_LABELS = {"vectorfield": "Calculate vectorfield", "filtering": "Filtering data"}


class _TqdmBars:
    """One tqdm bar per stage, in percent."""

    def __init__(self, tqdm) -> None:
        self._tqdm = tqdm
        self._stage: Optional[str] = None
        self._bar = None

    def __call__(self, stage: str, fraction: float) -> None:
        if stage != self._stage:
            self.close()
            self._stage = stage
            self._bar = self._tqdm(total=100, desc=_LABELS.get(stage, stage), unit="%",
                                   bar_format="{desc}: {percentage:3.0f}%|{bar}| [{elapsed}<{remaining}]")
        percent = int(fraction * 100)
        if percent > self._bar.n:
            self._bar.update(percent - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
            self._bar = None


class _StderrLine:
    """A plain line on standard error per stage, rewritten as the percentage grows."""

    def __init__(self, stream) -> None:
        self._stream = stream
        self._stage: Optional[str] = None
        self._percent = -1

    def __call__(self, stage: str, fraction: float) -> None:
        if stage != self._stage:
            self.close()
            self._stage = stage
            self._percent = -1
        percent = int(fraction * 100)
        if percent != self._percent:
            self._percent = percent
            self._stream.write("\r%s... %3d%%" % (_LABELS.get(stage, stage), percent))
            self._stream.flush()

    def close(self) -> None:
        if self._stage is not None:
            self._stream.write("\n")
            self._stream.flush()
            self._stage = None


def _no_close() -> None:
    pass


def make_progress(progress: ProgressArg) -> Tuple[Optional[ProgressCallback], Callable[[], None]]:
    """Returns the callback to hand to the core and what to call once the run ends."""
    if progress is None or progress is False:
        return None, _no_close
    if progress is True:
        try:
            from tqdm.auto import tqdm
        except ImportError:
            shown = _StderrLine(sys.stderr)
        else:
            shown = _TqdmBars(tqdm)
        return shown, shown.close
    if callable(progress):
        return progress, _no_close
    raise ValueError("progress must be None, True, False or a callable (stage, fraction), "
                     "got %r" % (progress,))
