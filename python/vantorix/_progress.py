"""Progress of a fit: a tqdm bar when tqdm is installed, plain lines on standard error otherwise.

When the native module offers a per-pass callback (``_set_progress_callback``), the bar moves
while the fit runs. Without it, the finished fit's history is replayed, so ``verbose=True`` still
shows every pass, only at the end.
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
        self.live = False  # True while the native callback feeds this object
        tqdm = tqdm_class() if use_tqdm else None
        self._bar: Any = tqdm(total=total, desc=desc, unit="pass", file=sys.stderr) if tqdm else None

    def update(self, fit_name: str, pass_index: int, inertia: float) -> None:
        self.passes += 1
        if self._bar is not None:
            self._bar.set_postfix_str(f"mean distance={inertia:.6f}", refresh=False)
            self._bar.update(1)
        else:
            print(f"{self.desc}: {fit_name} pass={pass_index} mean_distance={inertia:.6f}", file=sys.stderr, flush=True)

    def replay(self, fit_name: str, history: Iterable[float]) -> None:
        for i, value in enumerate(history):
            self.update(fit_name, i, float(value))

    def close(self) -> None:
        if self._bar is not None:
            # early stopping ends before max_iter: show the bar as done at the passes it ran
            self._bar.total = self.passes
            self._bar.refresh()
            self._bar.close()


def native_hook() -> Optional[Callable[[Optional[Callable[[str, int, float], None]]], None]]:
    return getattr(_vantorix, "_set_progress_callback", None)


@contextmanager
def fit_progress(desc: str, total: int, verbose: Any) -> Iterator[Optional[FitProgress]]:
    """Shows progress for the fit run inside the block when ``verbose``.

    Yields the progress object (None when quiet). If the native hook exists it feeds the bar
    live; otherwise ``live`` is False and the caller replays the history after the fit.
    """
    if not verbose:
        yield None
        return
    progress = FitProgress(desc, total)
    hook = native_hook()
    progress.live = hook is not None
    if hook is not None:
        hook(progress.update)
    try:
        yield progress
    finally:
        if hook is not None:
            hook(None)
        progress.close()


def finish(progress: Optional[FitProgress], fit_name: str, history: Iterable[float]) -> None:
    """After a successful fit: replays the history when the bar could not follow live."""
    if progress is not None and not progress.live:
        progress.replay(fit_name, history)


class CandidateProgress:
    """One labelled bar per candidate k (plain lines without tqdm); each fills when the
    analysis reports that candidate done (it reports "analysis" with the candidate's position)."""

    def __init__(self, desc: str, ks: Iterable[int]) -> None:
        self.ks = list(ks)
        self.done = [False] * len(self.ks)
        self.live = False
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
    """Like fit_progress, for an analysis of several candidate k."""
    if not verbose:
        yield None
        return
    progress = CandidateProgress(desc, ks)
    hook = native_hook()
    progress.live = hook is not None
    if hook is not None:
        hook(progress.update)
    try:
        yield progress
    finally:
        if hook is not None:
            hook(None)
        progress.close()


def finish_candidates(progress: Optional[CandidateProgress], inertia: Iterable[float]) -> None:
    """After the analysis: fills the bars of candidates the native side did not report."""
    if progress is not None:
        for i, value in enumerate(inertia):
            progress.update("analysis", i, float(value))
