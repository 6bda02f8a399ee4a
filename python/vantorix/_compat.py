"""scikit-learn stays optional: its base classes when it is installed, small equivalents when not.

The equivalents give the same parameter handling (``get_params``/``set_params``, nested
``a__b`` names, a repr listing the parameters), so every estimator behaves alike either way;
scikit-learn adds its tags and HTML repr on top.
"""

from __future__ import annotations

import inspect
from typing import TYPE_CHECKING, Any, Dict, List


class _FallbackEstimator:
    @classmethod
    def _get_param_names(cls) -> List[str]:
        init = cls.__init__
        if init is object.__init__:
            return []
        params = inspect.signature(init).parameters.values()
        return sorted(p.name for p in params if p.name != "self" and p.kind != p.VAR_KEYWORD)

    def get_params(self, deep: bool = True) -> Dict[str, Any]:
        out: Dict[str, Any] = {}
        for name in self._get_param_names():
            value = getattr(self, name)
            if deep and hasattr(value, "get_params") and not isinstance(value, type):
                out.update((f"{name}__{k}", v) for k, v in value.get_params().items())
            out[name] = value
        return out

    def set_params(self, **params: Any) -> Any:
        valid = self.get_params(deep=True)
        nested: Dict[str, Dict[str, Any]] = {}
        for key, value in params.items():
            name, sep, sub = key.partition("__")
            if name not in valid:
                raise ValueError(
                    f"Invalid parameter {name!r} for estimator {self}. Valid parameters are: "
                    f"{sorted(self._get_param_names())!r}."
                )
            if sep:
                nested.setdefault(name, {})[sub] = value
            else:
                setattr(self, name, value)
                valid[name] = value
        for name, sub_params in nested.items():
            valid[name].set_params(**sub_params)
        return self

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.get_params(deep=False).items())
        return f"{type(self).__name__}({args})"


class _FallbackNotFittedError(ValueError, AttributeError):
    """Raised when a method needs a fitted estimator."""


class _NoClusterMixin:
    pass


class _NoTransformerMixin:
    pass


if TYPE_CHECKING:
    BaseEstimator = _FallbackEstimator
    ClusterMixin = _NoClusterMixin
    TransformerMixin = _NoTransformerMixin
    NotFittedError = _FallbackNotFittedError
    HAVE_SKLEARN = False
else:
    try:
        from sklearn.base import BaseEstimator, ClusterMixin, TransformerMixin
        from sklearn.exceptions import NotFittedError

        HAVE_SKLEARN = True
    except ImportError:
        BaseEstimator = _FallbackEstimator
        ClusterMixin = _NoClusterMixin
        TransformerMixin = _NoTransformerMixin
        NotFittedError = _FallbackNotFittedError
        HAVE_SKLEARN = False


def tqdm_class() -> Any:
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        return None
    return tqdm
