import itertools
import re
import time

import numpy as np
import pytest

import zenqa
from conftest import as_pairs, assert_bitwise

BASES = [zenqa.gen_gellmann, zenqa.gen_sylvester]


@pytest.mark.parametrize("func", BASES)
@pytest.mark.parametrize("d", [1, 2, 5])
def test_result_arrays(func, d):
    result = func(d)
    assert type(result) is list
    for arr in result:
        assert type(arr) is np.ndarray
        assert arr.dtype == np.complex128 and arr.dtype.isnative
        assert arr.shape == (d, d) and arr.strides == (16 * d, 16)
        assert arr.flags.c_contiguous and arr.flags.writeable and arr.flags.owndata
        assert arr.base is None
    for a, b in itertools.combinations(result, 2):
        assert not np.shares_memory(a, b)


@pytest.mark.parametrize("func", BASES)
def test_mutation_stays_local(func):
    first = func(3)
    pristine = as_pairs(first)
    first[0][...] = 7 - 7j
    first[1][0, 0] = np.nan
    assert_bitwise(first[2:], pristine[2:])
    assert_bitwise(func(3), pristine)


@pytest.mark.parametrize("func, d", [(zenqa.gen_gellmann, 4096), (zenqa.gen_sylvester, 2**20)])
def test_huge_d_is_refused_quickly(func, d):
    start = time.perf_counter()
    with pytest.raises(MemoryError) as info:
        func(d)
    assert time.perf_counter() - start < 1.0
    message = str(info.value)
    assert "bytes" in message
    # at least the d*d - 1 matrices of d*d complex128 entries must be held at once
    needed = (d * d - 1) * d * d * 16
    stated = [int(n) for n in re.findall(r"\d+", message)]
    assert any(n >= needed for n in stated) or (needed >= 2**64 and "2**64" in message), message
    assert len(zenqa.gen_gellmann(2)) == 3
