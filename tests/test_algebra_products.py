"""zenqa.Algebra: batched products against matrix arithmetic, arguments, sharing and ownership."""

import pickle
import sys
import threading
import time

import numpy as np
import pytest
from test_algebra import BASES, projector
from test_leaks import Failing, assert_no_leaks

import zenqa
from conftest import seconds_to_interrupt, set_in_place, skip_if_sanitized


@pytest.fixture(scope="module", params=list(BASES))
def case(request):
    basis = BASES[request.param]()
    return np.array(basis), zenqa.Algebra(basis)


def vectors(shape, complex_, seed):
    rng = np.random.default_rng(seed)
    return rng.normal(size=shape) + (1j * rng.normal(size=shape) if complex_ else 0)


def close(got, want):
    scale = max(1.0, np.abs(want).max())
    return got.shape == want.shape and np.abs(got - want).max() <= 1e-12 * scale


@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
def test_products_agree_with_matrix_arithmetic(case, complex_):
    stack, algebra = case
    n = len(stack)
    a, b = vectors((6, n), complex_, 1), vectors((6, n), True, 2)
    a_m, b_m = algebra.matrix(a), algebra.matrix(b)
    project = projector(stack)
    assert close(a_m, np.tensordot(a, stack, 1))
    assert close(algebra.coefficients(a_m), project(a_m))
    assert close(algebra.bracket(a, b), project(a_m @ b_m - b_m @ a_m))
    assert close(algebra.anticommutator(a, b), project(a_m @ b_m + b_m @ a_m))
    assert close(np.einsum("mkj,mj->mk", algebra.adjoint(a), b), algebra.bracket(a, b))


@pytest.mark.parametrize(
    "shape_a, shape_b, shape",
    [
        ((), (), ()),
        ((), (4,), (4,)),
        ((2, 1), (3,), (2, 3)),
        ((1, 3), (2, 1), (2, 3)),
        ((0,), (1,), (0,)),
        ((17, 1), (3,), (17, 3)),  # several blocks of vectors, the last one partial
    ],
)
# 8 coefficients, a whole number of lanes, and 15, whose last lanes overlap.
@pytest.mark.parametrize("name", ["gellmann-3", "rotated-4"])
def test_products_broadcast_like_numpy(shape_a, shape_b, shape, name):
    algebra = zenqa.Algebra(BASES[name]())
    n, d = len(algebra), algebra.dim
    a, b = vectors((*shape_a, n), True, 3), vectors((*shape_b, n), False, 4)
    for product in (algebra.bracket, algebra.anticommutator):
        result = product(a, b)
        assert result.shape == (*shape, n) and result.dtype == np.complex128
        wide_a, wide_b = np.broadcast_arrays(a, b)
        one_by_one = [product(x, y) for x, y in zip(wide_a.reshape(-1, n), wide_b.reshape(-1, n), strict=True)]
        assert np.array_equal(result.reshape(-1, n), np.array(one_by_one).reshape(-1, n))
    assert algebra.adjoint(a).shape == (*shape_a, n, n)
    assert algebra.matrix(a).shape == (*shape_a, d, d)
    assert algebra.coefficients(algebra.matrix(a)).shape == (*shape_a, n)


# Structure constants imaginary and d-coefficients real (Gell-Mann), both
# complex (Sylvester, rotated): each kind of value has a contraction of its own.
@pytest.mark.parametrize("name", ["gellmann-8", "sylvester-7", "rotated-4"])
@pytest.mark.parametrize("complex_", [False, True], ids=["real", "complex"])
def test_many_vectors_come_out_as_one_by_one(name, complex_):
    # Enough work to be shared out over threads, in many blocks and a partial
    # last one, each vector contracted alone.
    stack = np.array(BASES[name]())
    algebra, n, project = zenqa.Algebra(stack), len(stack), projector(stack)
    a, b = vectors((1500, n), complex_, 8), vectors((1500, n), False, 9)
    a_m, b_m = algebra.matrix(a), algebra.matrix(b)
    for product, sign in ((algebra.bracket, -1), (algebra.anticommutator, 1)):
        batch = product(a, b)
        assert close(batch, project(a_m @ b_m + sign * (b_m @ a_m)))
        one_by_one = [product(x, y) for x, y in zip(a, b, strict=True)]
        assert np.array_equal(batch, np.array(one_by_one))


def test_inputs_of_every_layout_and_safe_type():
    algebra = zenqa.Algebra(zenqa.gen_sylvester(3))
    a = vectors((5, 8), True, 5)
    want = algebra.bracket(a, a[::-1])
    strided = np.asfortranarray(a)[::-1][::-1]
    assert np.array_equal(algebra.bracket(strided, a[::-1].copy()), want)
    single = a.astype(np.complex64)
    assert np.array_equal(algebra.bracket(single, a), algebra.bracket(single.astype(complex), a))
    assert np.array_equal(algebra.bracket(a.real.tolist(), np.ones(8, np.int32)), algebra.bracket(a.real, np.ones(8)))
    assert a.flags.writeable and strided.flags.writeable  # inputs are left as they were


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda g: g.bracket(np.ones((3, 7)), np.ones(8)),
            ValueError,
            "a has shape (3, 7) but the algebra has 8 elements",
        ),
        (lambda g: g.bracket(np.ones(8), 1.0), ValueError, "b has shape () but the algebra has 8 elements"),
        (
            lambda g: g.anticommutator(np.ones((2, 8)), np.ones((3, 8))),
            ValueError,
            "a and b have shapes (2, 8) and (3, 8), which do not broadcast",
        ),
        (
            lambda g: g.bracket(np.array(["x"] * 8), np.ones(8)),
            TypeError,
            "a has dtype <U1, which does not cast safely",
        ),
        (lambda g: g.adjoint(np.ones(8, np.clongdouble)), TypeError, "a has dtype complex256"),
        (
            lambda g: g.coefficients(np.ones((2, 8))),
            ValueError,
            "m has shape (2, 8) but the algebra's matrices are 3 x 3",
        ),
        (lambda g: g.matrix(object()), TypeError, "a has dtype object"),
        (lambda g: g.bracket(np.ones(8), [[1] * 8, [1]]), ValueError, "b is not an array of numbers: setting an"),
        (lambda g: g.lindblad(np.eye(3), [np.eye(3), [[1, 0, 0], [0]]]), ValueError, "jump_operators[1] is not an"),
        (lambda g: g.bracket(np.ones(8)), TypeError, "bracket() takes exactly 2 arguments (1 given)"),
        (lambda g: g.structure_constants(sparse=True), TypeError, "sparse"),
        (lambda g: g.d_coefficients(1, 2), TypeError, None),
    ],
)
def test_bad_arguments_raise_named_errors(call, error, message):
    with pytest.raises(error) as info:
        call(zenqa.Algebra(zenqa.gen_gellmann(3)))
    assert message is None or message in str(info.value)


def large_stack_with(*entries):
    """160 zero matrices of d = 32, which are scanned in parts, with the entries (k, r, c, value)."""
    stack = np.zeros((160, 32, 32), complex)
    for k, r, c, value in entries:
        stack[k, r, c] = value
    return stack


@pytest.mark.parametrize(
    "basis, error, message",
    [
        ([], ValueError, "basis is empty"),
        (np.zeros((0, 2, 2)), ValueError, "basis has shape (0, 2, 2)"),
        (np.zeros((3, 2, 3)), ValueError, "basis has shape (3, 2, 3) but must have shape (n, d, d)"),
        ([np.eye(2), np.eye(3)], ValueError, "basis[1] has shape (3, 3) but basis[0] has shape (2, 2)"),
        ([np.ones(4)], ValueError, "basis[0] has shape (4,) but must be a d x d matrix"),
        ([np.eye(2), [[1, np.nan], [0, 1]]], ValueError, "basis matrix 1 holds NaN at (0, 1)"),
        (np.array([np.eye(2), np.full((2, 2), np.inf)]), ValueError, "basis matrix 1 holds an infinity at (0, 0)"),
        # complex128 in native order, read in place rather than cast
        (np.array([np.eye(2), [[1, 0], [0, np.nan]]], complex), ValueError, "basis matrix 1 holds NaN at (1, 1)"),
        ([np.eye(2, dtype=complex), np.array([[0, complex(0, np.inf)], [0, 0]])], ValueError, "matrix 1 holds an inf"),
        # the first in order, whichever part of the scan meets it
        (
            large_stack_with((150, 0, 0, np.nan), (40, 1, 2, np.inf)),
            ValueError,
            "matrix 40 holds an infinity at (1, 2)",
        ),
        (list(large_stack_with((150, 0, 0, np.nan), (40, 1, 2, np.inf))), ValueError, "matrix 40 holds an infinity"),
        # an earlier matrix's fault before a later one's, though the earlier waits to be scanned
        ([*large_stack_with((3, 0, 1, np.nan))[:10], np.eye(3)], ValueError, "basis matrix 3 holds NaN at (0, 1)"),
        ([np.eye(2), [[np.nan, 0], [0, 0]], "ab"], ValueError, "basis matrix 1 holds NaN at (0, 0)"),
        ([np.array([["a", "b"], ["c", "d"]])], TypeError, "basis[0] has dtype <U1, which does not cast safely"),
        ([np.eye(2), [[1, 0], [0]]], ValueError, "basis[1] is not an array of numbers: setting an array element"),
        (np.ones((1, 2, 2), np.clongdouble), TypeError, "basis has dtype complex256"),
        (3, TypeError, "basis must be a sequence of d x d matrices or an array of shape (n, d, d), not int"),
        ("ab", TypeError, "not str"),
    ],
)
def test_bad_bases_raise_named_errors(basis, error, message):
    with pytest.raises(error) as info:
        zenqa.Algebra(basis)
    assert message in str(info.value)


@pytest.mark.parametrize("d, count", [(32, 160), (33, None)], ids=["parts", "batches"])
def test_a_large_stack_reads_as_its_matrices_one_by_one(d, count):
    # Scanned in parts, joined in order; at d = 33 in two batches as well.
    stack = np.array(zenqa.gen_gellmann(d)[:count])
    # Fortran order: read from cast copies, which must stay put while their batch grows.
    items = [np.asfortranarray(m) if k % 3 else m for k, m in enumerate(stack)]
    from_stack, from_list = zenqa.Algebra(stack), zenqa.Algebra(items)
    np.testing.assert_array_equal(from_stack.basis, stack)
    np.testing.assert_array_equal(from_list.basis, stack)
    for tensor in ("structure_constants", "d_coefficients"):
        for got, want in zip(getattr(from_stack, tensor)(), getattr(from_list, tensor)(), strict=True):
            np.testing.assert_array_equal(got, want)


class Hostile:
    """An array-like whose conversion raises."""

    def __init__(self, error):
        self.error = error

    def __array__(self, *args, **kwargs):
        raise self.error


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyboardInterrupt()], ids=["error", "interrupt"])
def test_hostile_arguments_pass_their_exception_on(error):
    algebra = zenqa.Algebra(zenqa.gen_gellmann(2))
    for call in (
        lambda: zenqa.Algebra([np.eye(2), Hostile(error)]),
        lambda: algebra.bracket(Hostile(error), 1),
        lambda: algebra.coefficients(Hostile(error)),
    ):
        with pytest.raises(type(error)):
            call()
    with pytest.raises(ValueError, match="midway"):
        zenqa.Algebra(Failing(zenqa.gen_gellmann(2)))


class Reentrant:
    """An array-like that runs a product of the same algebra while it is being converted."""

    def __init__(self, algebra, values):
        self.algebra, self.values, self.inner = algebra, values, None

    def __array__(self, *args, **kwargs):
        self.inner = self.algebra.bracket(self.values[::-1], self.values)
        return np.asarray(self.values, *args, **kwargs)


def test_products_called_during_the_conversion_of_an_argument():
    algebra = zenqa.Algebra(zenqa.gen_sylvester(3))
    a, b = vectors((40, 8), True, 10), vectors((40, 8), True, 11)
    inner = Reentrant(algebra, b)
    assert np.array_equal(algebra.bracket(a, inner), algebra.bracket(a, b))
    assert np.array_equal(inner.inner, algebra.bracket(b[::-1], b))


class Reinterpreting:
    """An array-like that changes the shape or element type of another argument, already checked,
    while it is converted."""

    def __init__(self, victim, change, values):
        self.victim, self.change, self.values = victim, change, values

    def __array__(self, *args, **kwargs):
        self.change(self.victim)
        return np.asarray(self.values, *args, **kwargs)


@pytest.mark.parametrize(
    "change",
    [lambda x: set_in_place(x, "shape", (-1,)), lambda x: set_in_place(x, "dtype", complex)],
    ids=["shape", "dtype"],
)
def test_argument_changed_during_the_conversion_of_another(change):
    algebra = zenqa.Algebra(zenqa.gen_gellmann(3))
    a = vectors((6, 8), False, 14)
    with pytest.raises(ValueError):  # the copy keeps the checked shape, which NumPy cannot fill from the new one
        algebra.bracket(a, Reinterpreting(a, change, vectors((6, 8), False, 15)))


def test_strided_broadcast_and_integer_arguments():
    algebra = zenqa.Algebra(zenqa.gen_gellmann(3))
    a, b = vectors((8,), False, 12), vectors((6, 8), True, 13)
    wide = np.broadcast_to(a, (6, 8))
    assert np.array_equal(algebra.bracket(wide, b[:, ::1]), algebra.bracket(np.tile(a, (6, 1)), b))
    assert np.array_equal(algebra.anticommutator(b[::2], a), algebra.anticommutator(b[::2].copy(), a))
    integers = np.arange(18).reshape(2, 3, 3)
    assert np.array_equal(algebra.coefficients(integers), algebra.coefficients(integers.astype(complex)))
    assert np.array_equal(algebra.matrix(np.eye(8, dtype=np.int8)), algebra.basis)


def test_basis_is_a_read_only_copy():
    basis = [m.copy() for m in zenqa.gen_gellmann(3)]
    algebra = zenqa.Algebra(basis)
    want = algebra.structure_constants(dense=True)
    basis[0][0, 0] = 7
    view = algebra.basis
    assert view.shape == (8, 3, 3) and view.dtype == np.complex128
    assert np.array_equal(view, zenqa.gen_gellmann(3))
    with pytest.raises(ValueError):
        view[0, 0, 0] = 1
    view.flags.writeable = True  # a copy of its own
    view[0, 0, 0] = 1
    assert np.array_equal(algebra.basis, zenqa.gen_gellmann(3))
    assert np.array_equal(algebra.structure_constants(dense=True), want)
    assert all(m.flags.writeable for m in basis)


def test_construction_from_any_accepted_form():
    basis = zenqa.gen_sylvester(3)
    want = zenqa.Algebra(basis).structure_constants(dense=True)
    for form in (tuple(basis), np.array(basis), [m.tolist() for m in basis], (m for m in [basis])):
        if not isinstance(form, type(x for x in ())):
            assert np.array_equal(zenqa.Algebra(form).structure_constants(dense=True), want)
    reversed_twice = [m[:, ::-1][:, ::-1] for m in basis]  # strided views
    swapped = np.array(basis, dtype=">c16" if sys.byteorder == "little" else "<c16")
    for layout in ([np.asfortranarray(m) for m in basis], np.array(basis)[:, ::-1][:, ::-1], reversed_twice, swapped):
        assert np.array_equal(zenqa.Algebra(layout).structure_constants(dense=True), want)
    single = zenqa.Algebra([m.astype(np.complex64) for m in basis])
    assert single.basis.dtype == np.complex128 and np.array_equal(single.basis, np.array(basis).astype(np.complex64))
    scalar = zenqa.Algebra([np.array([[2.0]])])
    assert scalar.structure_constants()[0].shape == (0, 3) and scalar.d_coefficients()[1].tolist() == [2]
    real = zenqa.Algebra([np.diag([1.0, -1.0]), np.array([[0, 1], [1, 0]])])
    assert np.array_equal(real.basis.imag, np.zeros((2, 2, 2)))
    assert zenqa.Algebra(basis=basis).dim == 3


def test_pickle_repr_len_dim(case):
    stack, algebra = case
    n, d = len(stack), stack.shape[1]
    copy = pickle.loads(pickle.dumps(algebra))
    assert repr(copy) == f"Algebra(n={n}, dim={d})" and len(copy) == n and copy.dim == d
    for tensor in ("structure_constants", "d_coefficients"):
        for got, want in zip(getattr(copy, tensor)(), getattr(algebra, tensor)(), strict=True):
            assert np.array_equal(got, want)
    with pytest.raises(AttributeError):
        algebra.dim = 4


def test_results_and_copies_refused_before_allocating():
    algebra = zenqa.Algebra(zenqa.gen_gellmann(2))
    with pytest.raises(MemoryError, match="the result"):
        algebra.bracket(np.ones((2**20, 1, 3)), np.ones((2**20, 3)))  # 2**40 products
    with pytest.raises(MemoryError, match="copying a"):
        algebra.adjoint(np.broadcast_to(np.ones(3), (2**40, 3)))


def test_dense_form_refused_before_allocating():
    algebra = zenqa.Algebra([np.ones((1, 1))] + [np.zeros((1, 1))] * 4095)  # n**3 * 16 bytes: 1 TiB
    with pytest.raises(MemoryError, match="dense"):
        algebra.structure_constants(dense=True)
    index, value = algebra.d_coefficients()
    assert index.tolist() == [[0, 0, 0]] and value.tolist() == [1]


def test_threads_share_one_algebra():
    algebra = zenqa.Algebra(zenqa.gen_gellmann(6))
    a, b = vectors((2000, 35), True, 6), vectors((2000, 35), False, 7)
    want = algebra.bracket(a, b)
    results = [None] * 4

    def work(slot):
        results[slot] = (algebra.bracket(a, b), zenqa.Algebra(zenqa.gen_gellmann(6)).structure_constants(dense=True))

    threads = [threading.Thread(target=work, args=(slot,)) for slot in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    dense = algebra.structure_constants(dense=True)
    assert all(np.array_equal(got, want) and np.array_equal(f, dense) for got, f in results)


def test_ctrl_c_stops_a_long_construction():
    # Long against the 10 ms between two looks for a signal: about 50 ms.
    basis = zenqa.gen_sylvester(40)
    start = time.perf_counter()
    zenqa.Algebra(basis)
    full = time.perf_counter() - start
    # The signal comes a fifth of the way in, whatever the machine's speed.
    delay = full / 5
    elapsed = seconds_to_interrupt(lambda: zenqa.Algebra(basis), delay=delay)
    assert elapsed < delay + full / 2, (elapsed, full)
    # and the module is whole afterwards
    assert np.array_equal(
        zenqa.Algebra(basis[:8]).structure_constants(dense=True),
        zenqa.Algebra(np.array(basis[:8])).structure_constants(dense=True),
    )


@pytest.mark.parametrize("name", ["construct", "tensors", "products", "error"])
def test_no_reference_leaks(panic_type, name):
    basis = zenqa.gen_gellmann(3)
    algebra = zenqa.Algebra(basis)
    a, b = vectors((4, 8), True, 8), vectors((8,), False, 9)
    calls = {
        "construct": (lambda: zenqa.Algebra(basis), basis, None),
        "tensors": (lambda: algebra.structure_constants(dense=True), (), None),
        "products": (lambda: algebra.bracket(a, b), (a, b), None),
        "error": (lambda: algebra.anticommutator(a, b[:3]), (a, b), ValueError),
    }
    call, arguments, expected = calls[name]
    assert_no_leaks(call, arguments, expected, panic_type, repeat=300)
    tensor = algebra.d_coefficients()
    assert sys.getrefcount(tensor) == 2 and [sys.getrefcount(x) for x in tensor] == [3, 3]


@skip_if_sanitized
def test_repeated_use_keeps_resident_memory_flat():
    from test_leaks import resident_bytes

    basis = zenqa.gen_sylvester(5)

    def run():
        for _ in range(300):
            algebra = zenqa.Algebra(basis)
            algebra.bracket(np.ones((50, 24)), np.ones(24))
            algebra.structure_constants()
            pickle.loads(pickle.dumps(algebra))

    run()
    before = resident_bytes()
    run()
    assert resident_bytes() - before < 2**20
