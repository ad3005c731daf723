import gc
import os
import sys
import time

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import zenqa
from conftest import Index, col, skip_if_sanitized

PANIC = "panic"  # the PanicException class is only known once a fault was seen
SHARED = (int, float, complex, str, bool, type(None))  # cached or interned: their counts move on their own
GM, SYL, SC, DC = zenqa.gen_gellmann, zenqa.gen_sylvester, zenqa.get_structure_constants, zenqa.get_d_coefficients
COMM, CROSS, DOT = zenqa.su_commutator, zenqa.cross, zenqa.dot


def huge():
    """4 EiB of zero strides: refused before anything is copied."""
    return as_strided(np.zeros(1, complex), shape=(2**30, 2**28), strides=(0, 0))


def basis(d=2):
    return [m.copy() for m in zenqa.gen_gellmann(d)]


def t(*items):
    return tuple(list(items))  # a new tuple, never a shared constant


def pairs(k=2, c=1.5j):
    return {t(Index(0), 1): t(k, c), t(1, Index(0)): t(Index(2), 0.5)}


def triples(c=2j):
    return {t(0, Index(1), 1): c, t(1, 0, 0): 0.5}


class Resizer(Index):
    """Adds an entry to the dict being converted, or takes it out again: its size always changes."""

    def __init__(self, f):
        super().__init__(0)
        self.f = f
        f[t(self, 0)] = t(0, 1j)

    def __index__(self):
        self.f.pop((9, 9)) if (9, 9) in self.f else self.f.update({(9, 9): (0, 1j)})
        return 0


class Failing(list):
    def __iter__(self):
        yield list.__getitem__(self, 0)
        raise ValueError("midway")


def case(func, *args, raised=None, **kwargs):
    return func, args, kwargs, raised


DECOMPOSITIONS = [("structure", SC), ("d-coefficients", DC)]
BASES = {
    "ok": (lambda: basis(3), None),
    "tuple": (lambda: tuple(basis()), None),
    "not-sequence": (lambda: {0: basis()[0]}, TypeError),
    "bad-element": (lambda: basis() + [np.zeros((2, 2))], TypeError),
    "iteration-fails": (lambda: Failing(basis()), ValueError),
    "empty": (list, PANIC),
    "fortran": (lambda: [np.asfortranarray(m) for m in basis()], PANIC),
    "late-fault": (lambda: basis(3) + [np.asfortranarray(basis(3)[0])], PANIC),
    "shapes": (lambda: basis(3) + basis(2), PANIC),
    "huge-element": (lambda: basis() + [huge()], MemoryError),
}
CASES = {
    "sylvester-ok": lambda: case(SYL, Index(3)),
    "sylvester-empty": lambda: case(SYL, 1),
    "sylvester-keyword": lambda: case(SYL, d=Index(2)),
    "sylvester-type": lambda: case(SYL, Index(2.5), raised=TypeError),
    "sylvester-negative": lambda: case(SYL, Index(-1), raised=OverflowError),
    "sylvester-zero": lambda: case(SYL, Index(0), raised=PANIC),
    "sylvester-shape": lambda: case(SYL, Index(2**32), raised=PANIC),
    "sylvester-memory": lambda: case(SYL, Index(2**20), raised=MemoryError),
    "gellmann-ok": lambda: case(GM, d=Index(3)),
    "gellmann-empty": lambda: case(GM, 0),
    "gellmann-memory": lambda: case(GM, Index(4096), raised=MemoryError),
    "gellmann-capacity": lambda: case(GM, Index(2**32), raised=PANIC),
    "gellmann-hook": lambda: case(GM, Index(lambda: ValueError("x")), raised=ValueError),
    "gellmann-unknown": lambda: case(GM, d=Index(2), e=object(), raised=TypeError),
    **{
        f"{name}-{kind}": (lambda func=func, make=make, raised=raised: case(func, make(), raised=raised))
        for name, func in DECOMPOSITIONS
        for kind, (make, raised) in BASES.items()
    },
    **{
        f"{name}-keyword-{kind}": (
            lambda func=func, make=BASES[kind][0], raised=BASES[kind][1]: case(func, basis=tuple(make()), raised=raised)
        )
        for name, func in DECOMPOSITIONS
        for kind in ["ok", "bad-element", "late-fault", "empty"]
    },
    "commutator-ok": lambda: case(COMM, col(1, 2j, 3), col(-1, 1, 0.5j), pairs(), basis()),
    "commutator-keywords": lambda: case(COMM, l_a=col(1, 2), l_b=col(3), f_ijk=pairs(), basis=basis()),
    "commutator-l_a": lambda: case(COMM, [1], col(1), pairs(), basis(), raised=TypeError),
    "commutator-l_b": lambda: case(COMM, col(1), np.ones((2, 1)), pairs(), basis(), raised=TypeError),
    "commutator-f-type": lambda: case(COMM, col(1), col(1), [], basis(), raised=TypeError),
    "commutator-f-length": lambda: case(COMM, col(1), col(1), {t(0, 1, 2): 1j}, basis(), raised=ValueError),
    "commutator-f-index": lambda: case(COMM, col(1), col(1), {t(0, -1): t(0, 1j)}, basis(), raised=OverflowError),
    "commutator-f-value": lambda: case(COMM, col(1), col(1), pairs(c=object()), basis(), raised=TypeError),
    "commutator-basis": lambda: case(COMM, col(1), col(1), pairs(), object(), raised=TypeError),
    "commutator-empty": lambda: case(COMM, col(1), col(1), pairs(), [], raised=PANIC),
    "commutator-target": lambda: case(COMM, col(1, 1), col(1, 1), pairs(k=3), basis(), raised=PANIC),
    "commutator-broadcast": lambda: case(
        COMM, col(1, 1), col(1, 1), pairs(), basis()[:2] + [np.ones((3, 3), complex)], raised=PANIC
    ),
    "commutator-huge-l_a": lambda: case(COMM, huge(), col(1), pairs(), basis(), raised=MemoryError),
    "commutator-huge-basis": lambda: case(COMM, col(1), col(1), {}, basis() + [huge()], raised=MemoryError),
    "cross-ok": lambda: case(CROSS, col(1, 2j, 3), np.array([[1, 0.5j]]), pairs()),
    "cross-empty": lambda: case(CROSS, np.zeros((0, 2), complex), col(1), pairs()),
    "cross-l_b": lambda: case(CROSS, col(1), np.zeros(2, complex), pairs(), raised=TypeError),
    "cross-f-key": lambda: case(CROSS, col(1), col(1), {t(0): t(0, 1j)}, raised=ValueError),
    "cross-f-resized": lambda: case(CROSS, col(1), col(1), Resizer({}).f, raised=RuntimeError),
    "cross-huge-l_b": lambda: case(CROSS, col(1), huge(), {}, raised=MemoryError),
    "cross-missing": lambda: case(CROSS, col(1), col(1), raised=TypeError),
    "dot-ok": lambda: case(DOT, col(1, 2j, 3), col(1, 0.5j), triples()),
    "dot-pair-map": lambda: case(DOT, col(1), col(1), pairs(), raised=ValueError),
    "dot-value": lambda: case(DOT, col(1), col(1), triples(c="x"), raised=TypeError),
    "dot-interrupted": lambda: case(
        DOT, col(1), col(1), {t(0, 0, Index(KeyboardInterrupt)): 1j}, raised=KeyboardInterrupt
    ),
    "dot-huge-l_a": lambda: case(DOT, huge(), col(1), {}, raised=MemoryError),
}


def watched(obj):
    """obj and what it holds, through nested tuples, lists and dicts; not shared constants."""
    if isinstance(obj, dict):
        parts = [*obj.keys(), *obj.values()]
    else:
        parts = list.copy(obj) if isinstance(obj, list) else list(obj) if isinstance(obj, tuple) else []
    found = [obj] + [x for part in parts for x in watched(part)]
    return [x for x in found if not isinstance(x, SHARED)]


def assert_no_leaks(call, arguments, expected, panic_type, repeat=1000):
    """Runs call over and over: no argument gains or loses a reference, a result has exactly
    one owner, and the interpreter's count of allocated memory blocks does not grow."""
    expected = panic_type if expected == PANIC else expected
    objects = watched(arguments)

    def once():
        try:
            result = call()
        except BaseException as exc:
            assert type(exc) is expected, exc
            return
        assert expected is None and sys.getrefcount(result) == 2  # this name and the argument
        if isinstance(result, list):
            assert [sys.getrefcount(result[n]) for n in range(len(result))] == [2] * len(result)

    for _ in range(200):
        once()  # fills first-use caches and free lists
    gc.collect()
    before, blocks = [sys.getrefcount(x) for x in objects], sys.getallocatedblocks()
    for _ in range(repeat):
        once()
    gc.collect()
    after, grown = [sys.getrefcount(x) for x in objects], sys.getallocatedblocks() - blocks
    assert after == before, [
        (type(x).__name__, a - b) for x, a, b in zip(objects, after, before, strict=True) if a != b
    ]
    # free lists and caches refill by a few dozen blocks at most; a leak grows with the calls
    assert grown < repeat // 4, f"{grown} interpreter blocks kept by {repeat} calls"


@pytest.mark.parametrize("name", list(CASES))
def test_no_reference_leaks(panic_type, capfd, name):
    func, args, kwargs, expected = CASES[name]()
    assert_no_leaks(lambda: func(*args, **kwargs), (args, kwargs), expected, panic_type)
    assert all(x.flags.writeable for x in watched((args, kwargs)) if isinstance(x, np.ndarray))


def resident_bytes():
    with open("/proc/self/status") as status:
        return 1024 * int(next(line.split()[1] for line in status if line.startswith("VmRSS:")))


@skip_if_sanitized
@pytest.mark.soak
def test_soak_resident_memory(panic_type):
    builders = list(CASES.values())

    def run(calls):
        for step in range(calls):
            # fresh arguments every time: a reference kept to one keeps its memory too
            func, args, kwargs, expected = builders[step % len(builders)]()
            try:
                func(*args, **kwargs)
            except BaseException as exc:
                assert type(exc) is (panic_type if expected == PANIC else expected)
            else:
                assert expected is None

    saved, devnull = os.dup(2), os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 2)  # each fault is reported on standard error
    try:
        run(10_000)  # allocator pools and NumPy's caches settle
        gc.collect()
        start, before = time.perf_counter(), resident_bytes()
        run(100_000)
        gc.collect()
        grown, seconds = resident_bytes() - before, time.perf_counter() - start
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
    print(f"soak: 100000 calls in {seconds:.1f} s, resident memory grew by {grown / 2**20:.2f} MiB")
    assert grown < 4 * 2**20


@pytest.mark.parametrize("name", [name for name in CASES if name.endswith("-ok")])
def test_interpreter_out_of_memory(panic_type, capfd, name):
    # Each run fails one more of the interpreter's allocations: results that cannot be
    # built are a MemoryError (not an internal fault) and leave nothing behind.
    testcapi = pytest.importorskip("_testcapi")
    func, args, kwargs, _ = CASES[name]()

    def sweep():
        outcomes = set()
        for failing in range(300):
            testcapi.set_nomemory(failing, failing + 1)
            try:
                func(*args, **kwargs)
                outcomes.add(None)
            except BaseException as exc:
                outcomes.add(type(exc))
            finally:
                testcapi.remove_mem_hooks()
        return outcomes

    outcomes = sweep()
    # NumPy 2.5 raises its own subclass of MemoryError for an array it cannot allocate.
    failures = outcomes - {None}
    assert None in outcomes and failures and all(issubclass(o, MemoryError) for o in failures), outcomes
    objects = watched((args, kwargs))
    gc.collect()
    before, blocks = [sys.getrefcount(x) for x in objects], sys.getallocatedblocks()
    sweep()
    gc.collect()
    assert [sys.getrefcount(x) for x in objects] == before
    assert sys.getallocatedblocks() - blocks < 75
