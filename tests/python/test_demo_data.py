"""The demo's data comes from the machine (Debian's Fashion-MNIST) and the repository itself."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture(scope="module")
def demo_data():
    spec = importlib.util.spec_from_file_location("demo_data", EXAMPLES / "demo_data.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("split, rows", [("train", 60000), ("test", 10000)])
def test_fashion_mnist_from_the_debian_package(demo_data, split, rows):
    pixels, classes = demo_data.fashion_mnist(split)
    assert pixels.shape == (rows, 784) and pixels.dtype == np.uint8
    assert np.bincount(classes).tolist() == [rows // 10] * 10
    if split == "train":
        assert classes[:10].tolist() == [9, 0, 0, 3, 0, 2, 7, 2, 5, 5]  # upstream's order
        assert abs(pixels.mean() - 72.94) < 0.01


def test_committed_samples(demo_data):
    learn, base = demo_data.sift("learn"), demo_data.sift("base")
    assert learn.shape == (25000, 128) and base.shape == (10000, 128) and learn.dtype == np.float32
    np.testing.assert_allclose(np.linalg.norm(base, axis=1), 512, rtol=0.01)
    words = demo_data.glove()
    assert words.shape == (10000, 100) and words.dtype == np.float32
    np.testing.assert_allclose(words[0, :3], [-0.038194, -0.24487, 0.72812], atol=1e-3)  # "the"


def test_idx_reader_refuses_other_files(demo_data, tmp_path):
    import gzip

    bad = tmp_path / "x.gz"
    with gzip.open(bad, "wb") as f:
        f.write(b"\0\0\x0d\x01" + (3).to_bytes(4, "big") + b"abc")  # float32 elements, not bytes
    with pytest.raises(ValueError, match="not an IDX file of unsigned bytes"):
        demo_data.read_idx(bad)
    with gzip.open(bad, "wb") as f:
        f.write(b"\0\0\x08\x01" + (5).to_bytes(4, "big") + b"abc")
    with pytest.raises(ValueError, match="3 values for shape"):
        demo_data.read_idx(bad)
