"""k-means over product-quantization codes with scikit-learn's conventions over ``_NativePQKMeans``."""

from __future__ import annotations

import functools
from typing import Any, Callable, Dict, Optional, Tuple

import numpy as np

from . import _persist, _progress
from ._base import (
    VantorixEstimator,
    assigned_distance_sum,
    center_distances,
    check_finite_result,
    check_finite_state,
    common_state,
    load_common_state,
    overflow_reason,
    record_fit,
    resolve_seed,
    serialised,
)
from ._compat import HAVE_SKLEARN, ClusterMixin, TransformerMixin
from ._kmeans import check_enough_rows
from ._pq import ProductQuantizer
from ._validation import (
    as_codes,
    as_matrix,
    check_choice,
    check_features,
    check_fitted,
    one_of,
    PARAM_RULES,
    is_uint8,
    labels_dtype,
)
from ._vantorix import _NativePQKMeans

MODES = ("symmetric", "adc", "hybrid")
_NATIVE_FIT = {"symmetric": "fit", "adc": "fit_adc", "hybrid": "fit_hybrid"}
_NATIVE_PREDICT = {"symmetric": "predict", "adc": "predict_adc", "hybrid": "predict_hybrid"}


# Rows the default hybrid-mode quantizer (16 codewords) is trained on, at most, and its training
# iterations: its codes only rank candidates for the exact comparison, and the fit's inertia is
# the same with 5, 10 or 20 passes, and with 64, 128 or 256 rows per codeword (within 0.3% on
# descriptors, images and sentence embeddings), while training on 4096 rows took up to a fifth
# of a whole fit.
HYBRID_TRAINING_ROWS = 64 * 16
HYBRID_TRAINING_ITERATIONS = 10


def default_quantizer(n_features: int, random_state: Any, mode: str = "symmetric") -> ProductQuantizer:
    """A quantizer for ``n_features`` columns. Symmetric and adc modes: the largest block count up
    to 16 that divides them, 256 codewords each. Hybrid mode, whose codes only rank candidates for
    the exact comparison: 16 codewords (the 4-bit fast scan) and blocks of at least 4 columns, the
    largest count up to 96 that divides them, which keeps the inertia within about 1% of dense
    k-means with the default 4 candidates on descriptors, images and sentence embeddings; it trains
    for HYBRID_TRAINING_ITERATIONS passes."""
    if mode == "hybrid":
        m = max(i for i in range(1, max(1, min(96, n_features // 4)) + 1) if n_features % i == 0)
        return ProductQuantizer(m, codebook_size=16, max_iter=HYBRID_TRAINING_ITERATIONS, random_state=random_state)
    m = max(i for i in range(1, min(16, n_features) + 1) if n_features % i == 0)
    return ProductQuantizer(m, random_state=random_state)


def check_quantizer(quantizer: Any) -> None:
    if quantizer is not None and not isinstance(quantizer, ProductQuantizer):
        raise TypeError(f"quantizer must be a vantorix.ProductQuantizer or None, got {type(quantizer).__name__}")


def _check_init_name(name: str, value: Any) -> None:
    # the native model checks the other names itself
    if not isinstance(value, str):
        raise TypeError(
            f"{name} must be a str ('auto', 'farthest_first', 'kmeans++' or 'random'), got {type(value).__name__}"
        )


def native_init(init: str, mode: str) -> str:
    """The start the native fit runs: "auto" is k-means++ in hybrid mode (from farthest-first the
    hybrid fit can settle percents above dense k-means) and farthest-first otherwise."""
    if init != "auto":
        return init
    return "kmeans++" if mode == "hybrid" else "farthest_first"


def resolve_quantizer(
    quantizer: Optional[ProductQuantizer], vectors: Optional[np.ndarray], random_state: Any, mode: str = "symmetric"
) -> ProductQuantizer:
    """The fitted quantizer to use: the one given if fitted, else one trained on ``vectors``."""
    check_quantizer(quantizer)
    if quantizer is not None and quantizer.__sklearn_is_fitted__():
        return quantizer
    if vectors is None:
        raise ValueError(
            "codes can only be clustered with the quantizer that made them: pass a fitted "
            "ProductQuantizer as quantizer (ProductQuantizer.from_codewords rebuilds one)"
        )
    if quantizer is not None:
        return ProductQuantizer(**quantizer.get_params()).fit(vectors)
    fresh = default_quantizer(vectors.shape[1], random_state, mode)
    if mode == "hybrid" and vectors.shape[0] > HYBRID_TRAINING_ROWS:
        # its codes only rank candidates: 64 rows per codeword train it as well as all of them
        rng = np.random.default_rng(resolve_seed(random_state))
        vectors = vectors[np.sort(rng.choice(vectors.shape[0], HYBRID_TRAINING_ROWS, replace=False))]
    return fresh.fit(vectors)


def split_input(X: Any, codes: Any, quantizer: Optional[ProductQuantizer]) -> Tuple[Any, Any]:
    """(vectors, codes) from what the caller passed.

    ``codes=`` is always codes and any non-uint8 ``X`` vectors. A uint8 ``X`` is vectors too
    (pixels, say), except when a fitted quantizer's code width matches its column count: then it
    could be either, and the caller must say which.
    """
    if codes is not None or X is None or not is_uint8(X):
        return X, codes
    fitted = quantizer if isinstance(quantizer, ProductQuantizer) and quantizer.__sklearn_is_fitted__() else None
    width = np.shape(X)[1] if len(np.shape(X)) == 2 else None
    if fitted is not None and width == fitted.codewords_.shape[0]:
        m, _, ds = fitted.codewords_.shape
        raise ValueError(
            f"X is uint8 with {width} columns: codes of the quantizer's {m} subquantizers, or "
            f"{m * ds}-feature vectors? Pass codes=X to cluster codes, or X.astype(np.float32) for vectors"
        )
    return X, codes


@_persist.register
class PQKMeans(ClusterMixin, TransformerMixin, VantorixEstimator):
    """k-means over product-quantization codes.

    ``fit(X)`` takes float vectors (encoded with the quantizer, which is trained on them when
    it is not fitted) or uint8 codes (which need a fitted ``quantizer``). Modes:

    - "symmetric": centers are codes; rows and centers are compared by codeword distances.
    - "adc": dense centers; rows are measured by their reconstructions.
    - "hybrid": dense centers; the ``refine_exact_top_l`` best centers by code distance are
      re-ranked exactly on the raw vectors, so fit and predict need the vectors.

    Attributes: quantizer_, cluster_centers_ (k, D) float32 in the vectors' space (decoded code
    centers in symmetric mode), code_centers_ (k, M) uint8, labels_, inertia_ (sum of the rows'
    distances), inertia_history_ (mean distance per pass), n_iter_, n_features_in_.
    """

    _native: _NativePQKMeans
    _param_rules = {
        **PARAM_RULES,
        "quantizer": lambda name, value: check_quantizer(value),
        "mode": one_of(*MODES),
        "init": _check_init_name,
    }
    quantizer_: ProductQuantizer
    labels_: np.ndarray
    code_centers_: np.ndarray
    cluster_centers_: np.ndarray
    inertia_history_: np.ndarray
    inertia_: float
    n_iter_: int

    def __init__(
        self,
        n_clusters: int = 8,
        *,
        quantizer: Optional[ProductQuantizer] = None,
        mode: str = "symmetric",
        init: str = "auto",
        max_iter: int = 20,
        random_state: Any = None,
        early_stopping: bool = False,
        spherical: bool = False,
        refine_exact_top_l: int = 4,
        lookup_table_bytes: int = 1 << 30,
        verbose: bool = False,
    ) -> None:
        self.n_clusters = n_clusters
        self.quantizer = quantizer
        self.mode = mode
        self.init = init
        self.max_iter = max_iter
        self.random_state = random_state
        self.early_stopping = early_stopping
        self.spherical = spherical
        self.refine_exact_top_l = refine_exact_top_l
        self.lookup_table_bytes = lookup_table_bytes
        self.verbose = verbose

    def _native_method(self, native: _NativePQKMeans, table: Dict[str, str], quantizer: ProductQuantizer) -> Any:
        # predict reads the mode too, which may have been set after the fit
        method = getattr(native, table[check_choice("mode", self.mode, MODES)])
        if self.mode == "hybrid" and quantizer.codewords_.shape[1] == 16:
            # the 4-bit fast scan only ranks the candidates: distances stay exact
            return functools.partial(method, fastscan=True)
        return method

    def _new_native(self, quantizer: ProductQuantizer, seed: int = 0) -> _NativePQKMeans:
        self._check_params()
        return _NativePQKMeans(
            quantizer.codewords_,
            self.n_clusters,
            iterations=self.max_iter,
            seed=seed,
            lookup_table_bytes=self.lookup_table_bytes,
            rotation=quantizer.rotation_,
            init=native_init(self.init, self.mode),
            early_stopping=bool(self.early_stopping),
            spherical=bool(self.spherical),
        )

    def _args(self, quantizer: ProductQuantizer, vectors: Optional[np.ndarray], codes: Any) -> Tuple[Any, ...]:
        """Native arguments for the mode: (codes,) or (codes, vectors, L)."""
        m, ks = quantizer.codewords_.shape[:2]
        if codes is None:
            assert vectors is not None
            code_arr = quantizer.encode(vectors)
        else:
            code_arr = as_codes(codes, "codes", m, ks)
            if vectors is not None and vectors.shape[0] != code_arr.shape[0]:
                raise ValueError(f"X has {vectors.shape[0]} rows but codes has {code_arr.shape[0]}")
        if self.mode != "hybrid":
            return (code_arr,)
        if vectors is None:
            raise ValueError("hybrid mode needs the vectors as X (codes alone are not enough)")
        return (code_arr, vectors, self.refine_exact_top_l)

    @serialised
    def fit(self, X: Any = None, y: Any = None, *, codes: Any = None) -> "PQKMeans":
        """Clusters vectors ``X`` or codes (uint8 ``X`` or ``codes=``); returns self."""
        self._check_params()
        X, codes = split_input(X, codes, self.quantizer)
        vectors = as_matrix(X) if X is not None else None
        if vectors is None and codes is None:
            raise ValueError("X: give the vectors or the codes to cluster")
        rows = vectors.shape[0] if vectors is not None else np.shape(codes)[0]
        check_enough_rows(rows, self.n_clusters)
        quantizer = resolve_quantizer(self.quantizer, vectors, self.random_state, self.mode)
        args = self._args(quantizer, vectors, codes)
        native = self._new_native(quantizer, resolve_seed(self.random_state))
        fit = self._native_method(native, _NATIVE_FIT, quantizer)
        with _progress.fit_progress(type(self).__name__, self.max_iter, self.verbose) as progress:
            try:
                _progress.run(progress, fit, *args)
            except ValueError as exc:
                raise (exc if vectors is None else overflow_reason(vectors, exc)) from None
        code_centers = native.cluster_centers
        dense = quantizer.decode(code_centers) if self.mode == "symmetric" else native.dense_cluster_centers
        check_finite_result("X", dense, native.inertia_history)
        if vectors is not None:
            check_features(self, X, vectors, reset=True)
        else:
            self.n_features_in_ = quantizer.codewords_.shape[0] * quantizer.codewords_.shape[2]
            if hasattr(self, "feature_names_in_"):
                del self.feature_names_in_
        self._native = native
        self.quantizer_ = quantizer
        self.code_centers_ = code_centers
        self.cluster_centers_ = dense
        record_fit(self, native, args[0].shape[0])
        return self

    def _prepared(self, X: Any, codes: Any) -> Tuple[Optional[np.ndarray], Tuple[Any, ...]]:
        check_fitted(self, "cluster_centers_")
        X, codes = split_input(X, codes, self.quantizer_)
        vectors = as_matrix(X) if X is not None else None
        if vectors is None and codes is None:
            raise ValueError("X: give the vectors or the codes")
        if vectors is not None:
            check_features(self, X, vectors, reset=False)
        return vectors, self._args(self.quantizer_, vectors, codes)

    @serialised
    def predict(self, X: Any = None, *, codes: Any = None) -> np.ndarray:
        """Cluster of each row, measured as the fit's mode measures."""
        _, args = self._prepared(X, codes)
        labels: np.ndarray = self._native_method(self._native, _NATIVE_PREDICT, self.quantizer_)(*args)
        return labels.astype(labels_dtype(self.n_clusters))

    @serialised
    def fit_predict(self, X: Any = None, y: Any = None, *, codes: Any = None) -> np.ndarray:
        return self.fit(X, codes=codes).labels_

    def _points(self, X: Any, codes: Any) -> Tuple[np.ndarray, Tuple[Any, ...]]:
        vectors, args = self._prepared(X, codes)
        return (self.quantizer_.decode(args[0]) if vectors is None else vectors), args

    @serialised
    def transform(self, X: Any = None, *, codes: Any = None) -> np.ndarray:
        """Distances from the rows (decoded, when given as codes) to every center."""
        points, _ = self._points(X, codes)
        return center_distances(points, self.cluster_centers_, bool(self.spherical))

    @serialised
    def fit_transform(self, X: Any = None, y: Any = None, *, codes: Any = None) -> np.ndarray:
        return self.fit(X, codes=codes).transform(X, codes=codes)

    @serialised
    def score(self, X: Any = None, y: Any = None, *, codes: Any = None) -> float:
        """Minus the summed distance of the rows (decoded, for codes) to their predicted centers."""
        points, args = self._points(X, codes)
        labels = self._native_method(self._native, _NATIVE_PREDICT, self.quantizer_)(*args)
        return -assigned_distance_sum(points, self.cluster_centers_, labels, bool(self.spherical))

    def _n_features_out(self) -> int:
        return int(self.cluster_centers_.shape[0])

    # --- saved state ---------------------------------------------------------------------------

    def _state(self) -> Dict[str, Any]:
        if not hasattr(self, "cluster_centers_"):
            return {}
        return {
            "quantizer_": self.quantizer_,
            "code_centers_": self.code_centers_,
            "cluster_centers_": self.cluster_centers_,
            **common_state(self, clustering=True),
        }

    def _load_state(self, reader: _persist.StateReader) -> None:
        quantizer = reader.model("quantizer_", ProductQuantizer)
        if not quantizer.__sklearn_is_fitted__():
            raise _persist.ModelFileError("quantizer_ is not fitted")
        m, ks, ds = quantizer.codewords_.shape
        code_centers = reader.array("code_centers_", [np.uint8], (self.n_clusters, m))
        dense = reader.array("cluster_centers_", [np.float32], (self.n_clusters, m * ds))
        check_finite_state("cluster_centers_", dense)
        if code_centers.size and int(code_centers.max()) >= ks:
            raise _persist.ModelFileError(f"code_centers_ hold codes past the codebook size {ks}")
        native = self._new_native(quantizer)
        # the two center arrays are one set of centers: decoded codes (symmetric) or dense centers
        # and their codes (adc, hybrid)
        if self.mode == "symmetric":
            native.set_cluster_centers(code_centers)
            consistent = np.allclose(quantizer.decode(code_centers), dense, rtol=1e-5, atol=1e-6)
        else:
            native.set_dense_cluster_centers(dense)
            consistent = np.array_equal(native.cluster_centers, code_centers)
        if not consistent:
            raise _persist.ModelFileError("code_centers_ and cluster_centers_ do not describe the same centers")
        load_common_state(self, reader, m * ds, self.n_clusters)
        self._native = native
        self.quantizer_ = quantizer
        self.code_centers_ = code_centers
        self.cluster_centers_ = dense


def _x_optional(wrapped: Callable[..., Any]) -> Callable[..., Any]:
    """``wrapped`` with X optional again.

    scikit-learn's set_output wraps transform and fit_transform as (self, X, ...), which makes
    X required: ``transform(codes=c)`` would be a TypeError.
    """

    @functools.wraps(wrapped)
    def method(self: Any, X: Any = None, *args: Any, **kwargs: Any) -> Any:
        return wrapped(self, X, *args, **kwargs)

    return method


if HAVE_SKLEARN:
    PQKMeans.transform = _x_optional(PQKMeans.transform)  # type: ignore[method-assign]
    PQKMeans.fit_transform = _x_optional(PQKMeans.fit_transform)  # type: ignore[method-assign]
