"""Clustering and compression of float32 vectors.

``KMeans``, ``ProductQuantizer`` and ``PQKMeans`` follow scikit-learn's estimator conventions;
``load`` reads what their ``save`` wrote; ``choose_k`` scores candidate cluster counts. The work
is done in the native module ``vantorix._vantorix``.
"""

from . import _vantorix
from ._choose_k import ChooseKResult, choose_k
from ._compat import NotFittedError
from ._kmeans import KMeans
from ._persist import FORMAT_VERSION, ModelFileError, load
from ._pq import ProductQuantizer
from ._pqkmeans import PQKMeans

__all__ = [
    "FORMAT_VERSION",
    "ChooseKResult",
    "KMeans",
    "ModelFileError",
    "NotFittedError",
    "PQKMeans",
    "ProductQuantizer",
    "choose_k",
    "load",
]
