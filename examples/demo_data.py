"""Where the demos get their data, all of it real:

- Fashion-MNIST, 70,000 grey-level 28 x 28 images of clothing, from Debian's package
  `dataset-fashion-mnist` (`make demo` installs it), read from its IDX files;
- small samples committed under examples/data (SIFT descriptors and GloVe word vectors), whose
  sources and licences are in examples/data/SOURCES.md.
"""

import gzip
from pathlib import Path

import numpy as np

FASHION_MNIST = Path("/usr/share/datasets/fashion-mnist")
SAMPLES = Path(__file__).resolve().parent / "data"


def read_idx(path: Path) -> np.ndarray:
    """An IDX file of unsigned bytes (gzipped, as Debian ships it): magic 0x0000080N, N sizes."""
    with gzip.open(path, "rb") as f:
        raw = f.read()
    if raw[:3] != b"\0\0\x08" or len(raw) < 4:
        raise ValueError(f"{path}: not an IDX file of unsigned bytes")
    ndim = raw[3]
    shape = tuple(int.from_bytes(raw[4 + 4 * i : 8 + 4 * i], "big") for i in range(ndim))
    values = np.frombuffer(raw, np.uint8, offset=4 + 4 * ndim)
    if values.size != int(np.prod(shape)):
        raise ValueError(f"{path}: {values.size} values for shape {shape}")
    return values.reshape(shape)


def fashion_mnist(split: str = "train") -> tuple[np.ndarray, np.ndarray]:
    """(pixels, classes): uint8 rows of 784 pixels and uint8 class labels 0..9, in upstream order
    ('train': 60,000 rows, 'test': 10,000)."""
    prefix = {"train": "train", "test": "t10k"}[split]
    images = FASHION_MNIST / f"{prefix}-images-idx3-ubyte.gz"
    if not images.exists():
        raise FileNotFoundError(
            f"{images} is missing: install Debian's Fashion-MNIST with "
            "'apt-get install dataset-fashion-mnist' (make demo does this)"
        )
    pixels = read_idx(images)
    classes = read_idx(FASHION_MNIST / f"{prefix}-labels-idx1-ubyte.gz")
    return pixels.reshape(len(pixels), -1), classes


def sift(split: str = "learn") -> np.ndarray:
    """Real SIFT descriptors as float32: 'learn' (25,000 rows) or 'base' (10,000 rows), 128 columns."""
    with np.load(SAMPLES / "photosift.npz") as f:
        return f[split].astype(np.float32)


def glove() -> np.ndarray:
    """The 10,000 most frequent GloVe 6B words as 100-d float32 vectors."""
    with np.load(SAMPLES / "glove100_10k.npz") as f:
        return f["vectors"].astype(np.float32)
