"""Progress of a fit: a tqdm bar when tqdm is installed, plain lines on standard error otherwise.

The native call reports each pass to the bar of the fit that made it (``_call_with_progress``, a
per-call hook), so the bar moves while the fit runs, and fits on other threads keep their own.
"""

from __future__ import annotations

import sys
from contextlib import contextmanager
from typing import Any, Callable, Iterable, Iterator, Optional

from . import _vantorix
from ._compat import tqdm_class


class FitProgress:
    """Shows one fit's passes; ``update`` takes what the native callback passes."""

    def __init__(self, desc: str, total: int, use_tqdm: bool = True) -> None:
        self.desc = desc
        self.passes = 0
        tqdm = tqdm_class() if use_tqdm else None
        self._bar: Any = tqdm(total=total, desc=desc, unit="pass", file=sys.stderr) if tqdm else None

    def update(self, fit_name: str, pass_index: int, inertia: float) -> None:
        self.passes += 1
        if self._bar is not None:
            self._bar.set_postfix_str(f"mean distance={inertia:.6f}", refresh=False)
            self._bar.update(1)
        else:
            print(f"{self.desc}: {fit_name} pass={pass_index} mean_distance={inertia:.6f}", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            # early stopping ends before max_iter: show the bar as done at the passes it ran
            self._bar.total = self.passes
            self._bar.refresh()
            self._bar.close()


@contextmanager
def fit_progress(desc: str, total: int, verbose: Any) -> Iterator[Optional[FitProgress]]:
    """Shows progress for the fit run inside the block when ``verbose``.

    Yields the progress object (None when quiet); run the native fit through ``run`` so that its
    passes reach it.
    """
    if not verbose:
        yield None
        return
    progress = FitProgress(desc, total)
    try:
        yield progress
    finally:
        progress.close()


def run(progress: Any, native_call: Callable[..., Any], /, *args: Any, **kwargs: Any) -> Any:
    """Calls the native ``native_call(*args, **kwargs)``, reporting its passes to ``progress.update``
    when there is a progress object (a FitProgress or a CandidateProgress)."""
    if progress is None:
        return native_call(*args, **kwargs)
    return _vantorix._NativeDenseKMeans._call_with_progress(progress.update, native_call, *args, **kwargs)


class CandidateProgress:
    """One labelled bar per candidate k (plain lines without tqdm); each fills when the
    analysis reports that candidate done (it reports "analysis" with the candidate's position)."""

    def __init__(self, desc: str, ks: Iterable[int]) -> None:
        self.ks = list(ks)
        self.done = [False] * len(self.ks)
        tqdm = tqdm_class()
        self._bars: Any = (
            [tqdm(total=1, desc=f"{desc} k={k}", unit="fit", file=sys.stderr, position=i, leave=True)
             for i, k in enumerate(self.ks)]
            if tqdm else None
        )
        self.desc = desc

    def update(self, fit_name: str, index: int, inertia: float) -> None:
        if not 0 <= index < len(self.ks) or self.done[index]:
            return
        self.done[index] = True
        if self._bars is not None:
            self._bars[index].set_postfix_str(f"mean distance={inertia:.6f}", refresh=False)
            self._bars[index].update(1)
        else:
            print(f"{self.desc}: k={self.ks[index]} done mean_distance={inertia:.6f}", file=sys.stderr, flush=True)

    def close(self) -> None:
        for bar in self._bars or []:
            bar.close()


@contextmanager
def candidate_progress(desc: str, ks: Iterable[int], verbose: Any) -> Iterator[Optional[CandidateProgress]]:
    """Like fit_progress, for an analysis of several candidate k (run it through ``run`` too)."""
    if not verbose:
        yield None
        return
    progress = CandidateProgress(desc, ks)
    try:
        yield progress
    finally:
        progress.close()

