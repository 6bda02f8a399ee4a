"""Product quantization with scikit-learn's conventions over ``_NativeProductQuantizer``."""

from __future__ import annotations

from typing import Any, Dict, Tuple

import numpy as np

from . import _persist, _progress
from ._base import (
    VantorixEstimator,
    check_finite_result,
    check_finite_state,
    common_state,
    load_common_state,
    resolve_seed,
    serialised,
)
from ._compat import HAVE_SKLEARN, TransformerMixin
from ._validation import (
    as_codes,
    as_matrix,
    as_vector,
    check_features,
    check_finite,
    check_fitted,
    check_choice,
    check_int,
)
from ._vantorix import _NativeProductQuantizer


def _to_float32(x: Any, name: str, ndim: int) -> np.ndarray:
    arr = np.asarray(x, dtype=np.float32)
    if arr.ndim != ndim:
        raise ValueError(f"{name}: expected a {ndim}D array, got shape {arr.shape}")
    check_finite(arr, name)
    return arr


# Rotations are learned orthogonal in float32; 1e-3 leaves room for their rounding at any
# dimension this library trains, and none for a damaged or scaled matrix.
_ORTHOGONAL_TOLERANCE = 1e-3


def check_rotation(rotation: Any) -> None:
    if rotation is None:
        return
    r = rotation.astype(np.float64)
    if np.abs(r.T @ r - np.eye(r.shape[0])).max() > _ORTHOGONAL_TOLERANCE:
        raise _persist.ModelFileError("rotation_ is not orthogonal")


METRICS = ("l2", "ip", "dot")  # "dot": inner product, as nanopq names it


@_persist.register
class ProductQuantizer(TransformerMixin, VantorixEstimator):
    """Compresses float32 rows to ``num_subquantizers`` bytes each (optionally with OPQ).

    The rows are cut into ``num_subquantizers`` equal column blocks (the row length must be a
    multiple of it); each block gets a codebook of ``codebook_size`` codewords. ``transform`` /
    ``encode`` give uint8 codes, ``inverse_transform`` / ``decode`` the reconstructed rows.

    Search over codes (asymmetric distances, native lookup tables): ``distance_table``,
    ``table_distances``, ``asymmetric_distances`` and ``search`` (top-k), by squared L2 ("l2")
    or inner product ("ip", or "dot").

    ``verbose`` shows the fit's steps: each rotation-learning pass (with ``opq_iterations``)
    and the final codebook training, with the mean squared distance of the training rows to
    their reconstructions after each.

    Attributes: codewords_ (M, Ks, D/M) float32, rotation_ (D, D) float32 or None, n_iter_
    (training iterations per codebook),
    n_features_in_, feature_names_in_ (DataFrame input with string column names).
    """

    _native: _NativeProductQuantizer

    def __init__(
        self,
        num_subquantizers: int = 8,
        *,
        codebook_size: int = 256,
        max_iter: int = 20,
        opq_iterations: int = 0,
        random_state: Any = None,
        verbose: bool = False,
    ) -> None:
        self.num_subquantizers = num_subquantizers
        self.codebook_size = codebook_size
        self.max_iter = max_iter
        self.opq_iterations = opq_iterations
        self.random_state = random_state
        self.verbose = verbose

    @staticmethod
    def _reconstruction_error(native: _NativeProductQuantizer, x: np.ndarray) -> float:
        """Mean over rows of the squared distance to their reconstructions (f64 sums), as the
        native rotation passes report it; read in blocks so the decoded copy stays small."""
        total = 0.0
        step = max(1, (1 << 20) // max(1, x.shape[1]))
        for start in range(0, x.shape[0], step):
            block = x[start : start + step]
            diff = native.decode(native.encode(block)).astype(np.float64) - block
            total += float(np.einsum("ij,ij->", diff, diff))
        return total / float(x.shape[0])

    @serialised
    def fit(self, X: Any, y: Any = None, sample_weight: Any = None) -> "ProductQuantizer":
        """Learns the codebooks (weighted when ``sample_weight`` is given); returns self."""
        self._check_params()
        x = as_matrix(X)
        m, ks = int(self.num_subquantizers), int(self.codebook_size)
        iterations, opq_iterations = int(self.max_iter), int(self.opq_iterations)
        if x.shape[1] % m:
            raise ValueError(
                f"num_subquantizers={m} must divide the number of features {x.shape[1]} "
                f"({x.shape[1]} = {x.shape[1] // m} x {m} + {x.shape[1] % m})"
            )
        if x.shape[0] <= ks:
            raise ValueError(
                f"n_samples={x.shape[0]} should be > codebook_size={ks}: "
                "training needs more rows than codewords"
            )
        weights = None
        if sample_weight is not None:
            weights = as_vector(sample_weight, "sample_weight", x.shape[0])
            if not (weights > 0).any():
                raise ValueError("sample_weight: all weights are zero; at least one must be positive")
        native = _NativeProductQuantizer(
            m,
            codebook_size=ks,
            iterations=iterations,
            seed=resolve_seed(self.random_state),
            opq_iterations=opq_iterations,
        )
        # one step per rotation pass (the native fit reports them as "opq") and one for the codebooks
        with _progress.fit_progress(type(self).__name__, opq_iterations + 1, self.verbose) as progress:
            if weights is None:
                _progress.run(progress, native.fit, x)
            else:
                _progress.run(progress, native.fit_weighted, x, weights)
            if progress is not None:
                progress.update("codebooks", opq_iterations, self._reconstruction_error(native, x))
        codewords, rotation = native.codewords, native.rotation
        check_finite_result("X" if sample_weight is None else "X, sample_weight", codewords, rotation)
        check_features(self, X, x, reset=True)
        self._native = native
        self.codewords_ = codewords
        self.rotation_ = rotation
        self.n_iter_ = self.max_iter  # codebook training always runs every iteration
        return self

    @classmethod
    def from_codewords(cls, codewords: Any, rotation: Any = None) -> "ProductQuantizer":
        """A fitted quantizer from codewords (M, Ks, Ds) and an optional (D, D) rotation."""
        cw = np.ascontiguousarray(_to_float32(codewords, "codewords", 3))
        rot = None if rotation is None else np.ascontiguousarray(_to_float32(rotation, "rotation", 2))
        native = _NativeProductQuantizer.from_codewords(cw, rot)
        model = cls(native.num_subquantizers, codebook_size=native.codebook_size)
        model._native = native
        model.codewords_ = native.codewords
        model.rotation_ = native.rotation
        model.n_iter_ = 0
        model.n_features_in_ = model.codewords_.shape[0] * model.codewords_.shape[2]
        return model

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, "codewords_")

    def _checked(self, X: Any) -> np.ndarray:
        check_fitted(self, "codewords_")
        x = as_matrix(X)
        check_features(self, X, x, reset=False)
        return x

    @serialised
    def encode(self, X: Any) -> np.ndarray:
        """(n, M) uint8 codes of the rows of ``X``."""
        return self._native.encode(self._checked(X))

    @serialised
    def decode(self, codes: Any) -> np.ndarray:
        """(n, D) float32 rows reconstructed from ``codes``."""
        check_fitted(self, "codewords_")
        m, ks = self.codewords_.shape[:2]
        return self._native.decode(as_codes(codes, "codes", m, ks))

    @serialised
    def transform(self, X: Any) -> np.ndarray:
        return self.encode(X)

    # --- search over codes: asymmetric distances through lookup tables --------------------------

    def _queries(self, X: Any, metric: Any) -> np.ndarray:
        check_choice("metric", metric, METRICS)
        check_fitted(self, "codewords_")
        x = as_matrix(X, "X")
        if x.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {x.shape[1]} features, but {type(self).__name__} is expecting {self.n_features_in_} features as input.")
        return x

    def distance_table(self, X: Any, metric: str = "l2") -> np.ndarray:
        """(n, M, Ks) float32: for each row of ``X`` (a query), the squared distance ("l2") or
        dot product ("ip") of each of its subvectors to every codeword of its subspace; with a
        rotation the query is rotated first, as encoded rows are."""
        return self._native.distance_table(self._queries(X, metric), metric=metric)

    def asymmetric_distances(self, X: Any, codes: Any, metric: str = "l2") -> np.ndarray:
        """(n_queries, n_codes) float32: each query's distance ("l2": squared) or dot product
        ("ip") to every code row, summed from the query's distance table."""
        x = self._queries(X, metric)
        m, ks = self.codewords_.shape[:2]
        code_arr = as_codes(codes, "codes", m, ks)
        return self._native.table_distances(self._native.distance_table(x, metric=metric), code_arr)

    def table_distances(self, tables: Any, codes: Any) -> np.ndarray:
        """(n_queries, n_codes) float32 from tables that ``distance_table`` made: for each table
        and code row, the M entries the code selects, added in subspace order (the values
        ``asymmetric_distances`` gives). Lets one table serve several sets of codes."""
        check_fitted(self, "codewords_")
        m, ks = self.codewords_.shape[:2]
        t = np.asarray(tables)
        if t.dtype != np.float32 or t.ndim != 3 or t.shape[1:] != (m, ks):
            raise ValueError(
                f"tables: expected a float32 array (n_queries, {m}, {ks}) from distance_table, "
                f"got {t.dtype} of shape {t.shape}"
            )
        table_arr = np.require(t, requirements=["C", "A"])
        return self._native.table_distances(table_arr, as_codes(codes, "codes", m, ks))

    def search(self, X: Any, codes: Any, top_k: int = 10, metric: str = "l2") -> Tuple[np.ndarray, np.ndarray]:
        """The ``top_k`` nearest code rows of every query: (distances float32, indices int64),
        each (n_queries, min(top_k, n_codes)), best first; "l2" ranks by smallest squared
        distance, "ip" by largest dot product; equal values go to the lower row."""
        x = self._queries(X, metric)
        k = check_int("top_k", top_k, 1)
        m, ks = self.codewords_.shape[:2]
        result: Tuple[np.ndarray, np.ndarray] = self._native.search(x, as_codes(codes, "codes", m, ks), top_k=k, metric=metric)
        return result

    @serialised
    def fit_transform(self, X: Any, y: Any = None, sample_weight: Any = None) -> np.ndarray:
        return self.fit(X, sample_weight=sample_weight).encode(X)

    @serialised
    def inverse_transform(self, X: Any) -> np.ndarray:
        return self.decode(X)

    if HAVE_SKLEARN:

        def __sklearn_tags__(self) -> Any:
            tags = super().__sklearn_tags__()
            # codes are uint8 whatever the input was
            if tags.transformer_tags is not None:
                tags.transformer_tags.preserves_dtype = []
            return tags

    def _n_features_out(self) -> int:
        return int(self.codewords_.shape[0])

    # --- saved state ---------------------------------------------------------------------------

    def _state(self) -> Dict[str, Any]:
        if not self.__sklearn_is_fitted__():
            return {}
        state: Dict[str, Any] = {"codewords_": self.codewords_, "n_iter_": np.int64(self.n_iter_)}
        if self.rotation_ is not None:
            state["rotation_"] = self.rotation_
        return {**state, **common_state(self, clustering=False)}

    def _load_state(self, reader: _persist.StateReader) -> None:
        codewords = reader.array("codewords_", [np.float32], (None, None, None))
        d = codewords.shape[0] * codewords.shape[2]
        rotation = reader.optional("rotation_", [np.float32], (d, d))
        check_finite_state("codewords_", codewords)
        check_finite_state("rotation_", rotation)
        check_rotation(rotation)
        native = _NativeProductQuantizer.from_codewords(
            codewords, rotation, iterations=self.max_iter, opq_iterations=self.opq_iterations
        )
        if (native.num_subquantizers, native.codebook_size) != (self.num_subquantizers, self.codebook_size):
            raise _persist.ModelFileError("codewords_ do not match num_subquantizers and codebook_size")
        n_iter = reader.integer("n_iter_")
        load_common_state(self, reader, d, None)
        self.n_iter_ = n_iter
        self._native = native
        self.codewords_ = codewords
        self.rotation_ = rotation
