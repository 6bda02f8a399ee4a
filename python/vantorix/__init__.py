"""Clustering and compression of float32 vectors; the work is done in ``vantorix._vantorix``."""

from . import _vantorix  # noqa: F401
