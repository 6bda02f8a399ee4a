"""Progress of a fit: a tqdm bar when tqdm is installed, plain lines on standard error otherwise.

When the native classes offer a per-call progress hook (``_call_with_progress``), the bar moves
while the fit runs, fed by that fit alone (fits on other threads have their own). Without it,
the finished fit's history is replayed, so ``verbose=True`` still shows every pass, only at the
end.
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


def native_hook() -> Optional[Callable[..., Any]]:
    """``hook(callback, method, *args)``: runs one native call that reports its passes to callback."""
    return getattr(_vantorix._NativeDenseKMeans, "_call_with_progress", None)


@contextmanager
def fit_progress(desc: str, total: int, verbose: Any) -> Iterator[Optional[FitProgress]]:
    """Shows progress for the fit run inside the block when ``verbose``.

    Yields the progress object (None when quiet); run the native fit through ``run`` so that its
    passes reach it. Without the native hook ``live`` is False and ``finish`` replays the history.
    """
    if not verbose:
        yield None
        return
    progress = FitProgress(desc, total)
    progress.live = native_hook() is not None
    try:
        yield progress
    finally:
        progress.close()


def run(progress: Optional[FitProgress], method: Callable[..., Any], *args: Any) -> Any:
    """Calls the native ``method(*args)``, reporting its passes to ``progress`` when there is one."""
    hook = native_hook() if progress is not None and progress.live else None
    if hook is None:
        return method(*args)
    return hook(progress.update, method, *args)  # type: ignore[union-attr]


def finish(progress: Optional[FitProgress], fit_name: str, history: Iterable[float]) -> None:
    """After a successful fit: replays the history when the bar could not follow live."""
    if progress is not None and not progress.live:
        progress.replay(fit_name, history)
