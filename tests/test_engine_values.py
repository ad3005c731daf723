"""The tensors against the values kept from the dense block engine: the same entries,
each value within 1e-15 of the tensor's largest coefficient."""

import numpy as np
import pytest

import zenqa
from engine_values import BASES, PATH

TOLERANCE = 1e-15


@pytest.fixture(scope="module")
def kept():
    with np.load(PATH) as values:
        return dict(values)


def assert_close_to_kept(tensor, index, value):
    got_index, got_value = tensor
    np.testing.assert_array_equal(got_index, index)
    np.testing.assert_allclose(got_value, value, rtol=0, atol=TOLERANCE * np.abs(value).max())


@pytest.mark.parametrize("name", list(BASES))
@pytest.mark.parametrize("tensor", ["structure_constants", "d_coefficients"])
def test_tensors_keep_their_entries_and_values(kept, name, tensor):
    basis = kept[f"{name}/basis"]
    np.testing.assert_array_equal(np.stack(BASES[name]()), basis)
    algebra = zenqa.Algebra(basis)
    assert_close_to_kept(getattr(algebra, tensor)(), kept[f"{name}/{tensor}/index"], kept[f"{name}/{tensor}/value"])
