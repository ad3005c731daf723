import json
import os
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import zenqa
from conftest import col, sanitized, skip_if_sanitized

SHAPE_TOO_LARGE = "Shape too large, product of non-zero axis lengths overflows isize"


def zero_strided(shape):
    return as_strided(np.zeros(1, complex), shape=shape, strides=(0,) * len(shape))


def refused_quickly(call):
    start = time.perf_counter()
    with pytest.raises(BaseException) as info:
        call()
    assert time.perf_counter() - start < 1.0
    # the interpreter and the module carry on
    assert len(zenqa.get_structure_constants(zenqa.gen_gellmann(2))) == 6
    return info


def stated(message, needed):
    return f"needs {needed} bytes" in message if needed < 2**64 else "needs more than 2**64 bytes" in message


def expected_failure(name, d):
    """The d*d list records of 64 bytes, one d x d matrix, then all d*d - 1 of them must fit."""
    if name == "gen_gellmann" and d * d * 64 >= 2**63:
        return "panic", "capacity overflow"
    if name == "gen_sylvester" and d * d >= 2**63:
        return "panic", SHAPE_TOO_LARGE
    if name == "gen_sylvester" and d * d * 16 >= 2**63:
        return "panic", "capacity overflow"
    return MemoryError, (d * d - 1) * d * d * 16


@pytest.mark.parametrize("name", ["gen_gellmann", "gen_sylvester"])
@pytest.mark.parametrize(
    "d",
    [
        2**10,
        2**16,
        2**28,
        379625062,
        379625063,
        759250124,
        759250125,
        2**31,
        3037000499,
        3037000500,
        2**32 - 1,
        2**32,
        2**32 + 1,
        2**63,
        2**64 - 2,
    ],
)
def test_huge_d(panic_type, capfd, name, d):
    kind, detail = expected_failure(name, d)
    info = refused_quickly(lambda: getattr(zenqa, name)(d))
    if kind == "panic":
        assert info.type is panic_type and info.value.args == (detail,)
    else:
        assert info.type is MemoryError and stated(str(info.value), detail), str(info.value)


POSITIONS = {
    "cross-l_a": lambda big: zenqa.cross(big, col(1), {}),
    "cross-l_b": lambda big: zenqa.cross(col(1), big, {(0, 0): (0, 1j)}),
    "dot-l_a": lambda big: zenqa.dot(big, col(1), {}),
    "dot-l_b": lambda big: zenqa.dot(col(1), big, {}),
    "commutator-l_a": lambda big: zenqa.su_commutator(big, col(1), {}, zenqa.gen_gellmann(2)),
    "commutator-l_b": lambda big: zenqa.su_commutator(col(1), big, {}, zenqa.gen_gellmann(2)),
    "commutator-basis": lambda big: zenqa.su_commutator(col(1), col(1), {}, zenqa.gen_gellmann(2) + [big]),
    "structure-basis": lambda big: zenqa.get_structure_constants([big] + zenqa.gen_gellmann(2)),
    "d-coefficients-basis": lambda big: zenqa.get_d_coefficients(zenqa.gen_gellmann(2) + [big]),
}


@pytest.mark.parametrize("position", list(POSITIONS))
@pytest.mark.parametrize("shape", [(2**30, 2**28), (1, 2**59 - 1), (2**59 - 1, 1), (3, 2**58 // 3)], ids=str)
def test_arrays_beyond_memory(position, shape):
    big = zero_strided(shape)
    info = refused_quickly(lambda: POSITIONS[position](big))
    assert info.type is MemoryError
    assert str(info.value).startswith(
        f"copying a {shape[0]} x {shape[1]} argument array needs {shape[0] * shape[1] * 16}"
    )
    assert big.flags.writeable


@pytest.mark.parametrize("shape", [(0, 2**58), (2**58, 0)], ids=str)
def test_empty_arrays_of_huge_extent(shape):
    big = zero_strided(shape)
    start = time.perf_counter()
    for func, args in [(zenqa.cross, (big, col(1), {(0, 0): (0, 1j)})), (zenqa.dot, (big, col(1), {(0, 0, 0): 1j}))]:
        got = func(*args)
        assert got.shape == shape and got.dtype == np.complex128
        assert np.array_equal(func(col(1, 2), big, args[2]), np.zeros((2, 1)))
    assert np.array_equal(zenqa.su_commutator(big, big, {(0, 0): (0, 1j)}, zenqa.gen_gellmann(2)), np.zeros((2, 2)))
    assert zenqa.get_structure_constants([big]) == {}
    assert time.perf_counter() - start < 1.0


class Lying(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


@pytest.mark.parametrize("length", [sys.maxsize, 2**100, -sys.maxsize - 1, 2.5, "8", None], ids=repr)
def test_basis_length_lies(length):
    basis = zenqa.gen_gellmann(3)
    l_a = np.arange(8, dtype=complex).reshape(-1, 1)
    f = zenqa.get_structure_constants(basis)
    start = time.perf_counter()
    assert zenqa.get_structure_constants(Lying(basis, length)) == f
    assert zenqa.get_d_coefficients(Lying(basis, length)) == zenqa.get_d_coefficients(basis)
    assert np.array_equal(
        zenqa.su_commutator(l_a, l_a[::-1], f, Lying(basis, length)), zenqa.su_commutator(l_a, l_a[::-1], f, basis)
    )
    assert time.perf_counter() - start < 1.0


CHILD = textwrap.dedent("""
    import json, resource, sys, time
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
    import zenqa

    limit = int(sys.argv[1])
    if limit:
        zenqa.get_structure_constants(zenqa.gen_gellmann(2))  # everything loaded before the limit
        with open("/proc/self/status") as status:
            size = int(next(line.split()[1] for line in status if line.startswith("VmSize:"))) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (size + limit, size + limit))
    big = lambda *shape: as_strided(np.zeros(1, complex), shape=shape, strides=(0, 0))
    col = np.ones((3, 1), complex)
    results = {}
    for name, code in json.loads(sys.argv[2]).items():
        start = time.perf_counter()
        try:
            eval(code)
            results[name] = ["ok", ""]
        except BaseException as exc:
            results[name] = [type(exc).__name__, str(exc)]
        results[name].append(time.perf_counter() - start)
    results["healthy"] = len(zenqa.get_d_coefficients(zenqa.gen_gellmann(3))) == 58
    print(json.dumps(results))
""")


def run_child(cases, limit, **environment):
    env = dict(
        os.environ,
        OPENBLAS_NUM_THREADS="1",
        **environment,
        PYTHONPATH=os.pathsep.join([os.path.dirname(zenqa.__file__), os.environ.get("PYTHONPATH", "")]),
    )
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(limit), json.dumps(cases)],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    results = json.loads(proc.stdout)
    assert results.pop("healthy")
    return results


# Within the machine's memory, beyond the child's limit: the copy of an argument, the
# result after a copy that fit, the matrices of a basis.
LIMITED = {
    **{
        f"copy-{position}": code
        for position, code in [
            ("cross-l_a", "zenqa.cross(big(2**14, 2**14), col, {})"),
            ("dot-l_b", "zenqa.dot(col, big(2**14, 2**14), {})"),
            ("commutator-l_b", "zenqa.su_commutator(col, big(2**14, 2**14), {}, zenqa.gen_gellmann(2))"),
            ("commutator-basis", "zenqa.su_commutator(col, col, {}, [big(2**14, 2**14)])"),
            ("structure-basis", "zenqa.get_structure_constants([big(2**14, 2**14)])"),
            ("d-coefficients-basis", "zenqa.get_d_coefficients([big(2**14, 2**14)] * 2)"),
        ]
    },
    "result-cross": "zenqa.cross(big(2**12, 2**12), col, {})",
    "result-dot": "zenqa.dot(big(1, 2**24), col, {})",
    "gellmann": "zenqa.gen_gellmann(130)",
}


@skip_if_sanitized
def test_beyond_a_memory_limit():
    results = run_child(LIMITED, limit=384 * 2**20)
    assert {name: kind for name, (kind, _, _) in results.items()} == dict.fromkeys(LIMITED, "MemoryError")
    assert {name: seconds < 1.0 for name, (_, _, seconds) in results.items()} == dict.fromkeys(LIMITED, True)


def test_commutator_result_beyond_memory():
    # basis[0] sets the m x m shape of the result: a tall column asks for 16 TiB
    results = run_child(
        {
            "tall-basis": "zenqa.su_commutator(col, col, {}, [big(2**20, 1)])",
            "empty-rows": "zenqa.su_commutator(col, col, {}, [big(2**28, 0)])",
        },
        limit=0 if sanitized else 384 * 2**20,
    )
    for name, m in [("tall-basis", 2**20), ("empty-rows", 2**28)]:
        kind, message, seconds = results[name]
        # refused before anything is allocated, saying what it would take
        assert kind == "MemoryError" and stated(message, m * m * 16) and seconds < 1.0, results[name]


MiB = 2**20
MEMINFO = "MemTotal:        4194304 kB\nMemFree:          100000 kB\nMemAvailable:    1048576 kB\n"
V2 = {"proc/self/cgroup": "0::/batch/job\n", "proc/meminfo": MEMINFO}
V1 = {"proc/self/cgroup": "12:pids:/docker/c1\n4:cpu,memory:/docker/c1\n0::/\n", "proc/meminfo": MEMINFO}
V1_JOB = "sys/fs/cgroup/memory/docker/c1/memory."


def v2_job(limit, usage, stat=None):
    files = {"sys/fs/cgroup/batch/job/memory.max": limit, "sys/fs/cgroup/batch/job/memory.current": usage}
    return {**V2, **files, **({"sys/fs/cgroup/batch/job/memory.stat": stat} if stat else {})}


# Fake /proc and /sys files, and the memory the check then finds available.
CGROUPS = {
    "no-cgroup-files": ({"proc/meminfo": MEMINFO}, 1024 * MiB),
    "v2-max": (v2_job("max\n", f"{100 * MiB}\n"), 1024 * MiB),
    "v2-number": (v2_job(f"{300 * MiB}\n", f"{100 * MiB}\n"), 200 * MiB),
    "v2-inactive-cache": (v2_job(f"{300 * MiB}", f"{100 * MiB}", f"anon 1\ninactive_file {30 * MiB}\n"), 230 * MiB),
    "v2-over-limit": (v2_job(f"{300 * MiB}\n", f"{400 * MiB}\n"), 0),
    "v2-parent-limit": (
        {
            **v2_job("max\n", "0\n"),
            "sys/fs/cgroup/batch/memory.max": f"{64 * MiB}\n",
            "sys/fs/cgroup/batch/memory.current": f"{16 * MiB}\n",
        },
        48 * MiB,
    ),
    "v2-missing-usage": ({**V2, "sys/fs/cgroup/batch/job/memory.max": f"{300 * MiB}\n"}, 1024 * MiB),
    "v2-garbage-limit": (v2_job("lots\n", f"{100 * MiB}\n"), 1024 * MiB),
    "v2-garbage-usage": (v2_job(f"{300 * MiB}\n", "-5\n"), 1024 * MiB),
    "v2-empty-file": (v2_job("", f"{100 * MiB}\n"), 1024 * MiB),
    "v2-endless-file": (v2_job(None, f"{100 * MiB}\n"), 1024 * MiB),
    "v1-number": (
        {
            **V1,
            V1_JOB + "limit_in_bytes": f"{512 * MiB}\n",
            V1_JOB + "usage_in_bytes": f"{12 * MiB}\n",
            V1_JOB + "stat": f"cache 5\ntotal_inactive_file {2 * MiB}\n",
        },
        502 * MiB,
    ),
    "v1-unlimited": (
        {**V1, V1_JOB + "limit_in_bytes": "9223372036854771712\n", V1_JOB + "usage_in_bytes": f"{12 * MiB}\n"},
        1024 * MiB,
    ),
    # a container that sees its own cgroup at the mount point, not under the host's path
    "v1-own-mount": (
        {
            **V1,
            "sys/fs/cgroup/memory/memory.limit_in_bytes": f"{256 * MiB}\n",
            "sys/fs/cgroup/memory/memory.usage_in_bytes": f"{56 * MiB}\n",
        },
        200 * MiB,
    ),
    "garbage-cgroup-list": ({"proc/self/cgroup": "nonsense\n::\n0::relative\n", "proc/meminfo": MEMINFO}, 1024 * MiB),
}


def fake_system(root, files):
    for relative, text in files.items():
        path = root / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        if text is None:
            path.symlink_to("/dev/zero")  # one line that never ends
        else:
            path.write_text(text)
    return str(root)


@pytest.mark.parametrize("name", list(CGROUPS))
def test_cgroup_allowance(tmp_path, name):
    files, available = CGROUPS[name]
    # 128 MiB fit the machine's 1 GiB but not every cgroup; 64 GiB fit nowhere, and the
    # message tells what the check found available.
    results = run_child(
        {"fits": "zenqa.cross(big(2**12, 2**11), col, {})", "too-large": "zenqa.cross(big(2**16, 2**16), col, {})"},
        limit=0,
        ZENQA_TEST_SYSTEM_ROOT=fake_system(tmp_path, files),
    )
    assert results["fits"][0] == ("ok" if available >= 128 * MiB else "MemoryError"), results
    kind, message, _ = results["too-large"]
    assert kind == "MemoryError" and f"has {available} bytes" in message, message


def test_tensors_refused_as_they_outgrow_memory(tmp_path):
    # Each matrix a random mix of the Gell-Mann matrices: the tensors of d = 15 keep
    # 11 million entries, past the 32 MiB the machine has, and are refused on the way
    # rather than growing until the system kills the process.
    mixed = (
        "list(np.einsum('ab,bij->aij', np.linalg.qr(np.random.default_rng(5).normal(size=(224, 224)))[0],"
        " np.array(zenqa.gen_gellmann(15))))"
    )
    meminfo = MEMINFO.replace("1048576 kB", "32768 kB")
    results = run_child(
        {"mixed": f"zenqa.Algebra({mixed})"},
        limit=0,
        ZENQA_TEST_SYSTEM_ROOT=fake_system(tmp_path, {"proc/meminfo": meminfo}),
    )
    kind, message, _ = results["mixed"]
    assert kind == "MemoryError" and "more room for the tensors" in message and f"has {32 * MiB} bytes" in message


def test_jump_operators_refused_for_their_working_copies(tmp_path):
    # One copy of these jump operators (640 MB) fits the machine's 1 GiB; the two
    # more that the map keeps of them do not.
    jumps = "np.broadcast_to(np.eye(4, dtype=complex), (2_500_000, 4, 4))"
    results = run_child(
        {"jumps": f"zenqa.Algebra(zenqa.gen_gellmann(4)).lindblad(np.eye(4), {jumps})"},
        limit=0,
        ZENQA_TEST_SYSTEM_ROOT=fake_system(tmp_path, {"proc/meminfo": MEMINFO}),
    )
    kind, message, _ = results["jumps"]
    assert kind == "MemoryError" and "the adjoints and transposes of the jump operators" in message, message


def test_tensor_refused_for_its_index_and_values_together(tmp_path, monkeypatch):
    # 1.8 million entries: their values (28 MB) fit the machine's 48 MiB, and
    # with their index (70 MB in all) they do not.
    rng = np.random.default_rng(1)
    algebra = zenqa.Algebra(rng.normal(size=(121, 11, 11)) + 1j * rng.normal(size=(121, 11, 11)))
    meminfo = MEMINFO.replace("1048576 kB", "49152 kB")
    monkeypatch.setenv("ZENQA_TEST_SYSTEM_ROOT", fake_system(tmp_path, {"proc/meminfo": meminfo}))
    with pytest.raises(MemoryError, match="the tensor's index and values"):
        algebra.structure_constants()


# Rows of coefficients or 2 x 2 matrices: the result and each copy of an
# argument fit the machine's 1 GiB alone, and together they do not.
@pytest.mark.parametrize("method, rows", [("bracket", 8_000_000), ("adjoint", 6_000_000), ("coefficients", 10_000_000)])
def test_products_refused_for_their_result_and_copies_together(tmp_path, monkeypatch, method, rows):
    algebra = zenqa.Algebra(zenqa.gen_gellmann(2))
    a = np.broadcast_to(np.ones(3, dtype=complex), (rows, 3))
    arguments = {"bracket": [a, a], "adjoint": [a], "coefficients": [np.broadcast_to(np.eye(2), (rows, 2, 2))]}
    monkeypatch.setenv("ZENQA_TEST_SYSTEM_ROOT", fake_system(tmp_path, {"proc/meminfo": MEMINFO}))
    with pytest.raises(MemoryError, match="the result with the copies of the arguments"):
        getattr(algebra, method)(*arguments[method])
