import ast
import functools
import pathlib
import subprocess
import sys
import textwrap

import pytest

import zenqa

STUB = pathlib.Path(zenqa.__file__).parent / "zenqa-stubs" / "__init__.pyi"


def stub_signatures():
    """{function name: [parameter names]} as the installed stub declares them."""
    tree = ast.parse(STUB.read_text())
    functions = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            arguments = node.args
            assert not (arguments.posonlyargs or arguments.kwonlyargs or arguments.vararg or arguments.kwarg)
            assert not arguments.defaults, "every parameter is required"
            functions[node.name] = [a.arg for a in arguments.args]
    return functions


def matching_error(call):
    with pytest.raises(TypeError) as info:
        call()
    return str(info.value)


def test_stub_declares_the_published_functions_in_order():
    assert list(stub_signatures()) == zenqa.__all__[1:]


@pytest.mark.parametrize("name, parameters", stub_signatures().items())
def test_stub_parameters_are_the_runtime_ones(name, parameters):
    # The builtins carry no text signature; their argument matching tells the
    # names, the order and the count of the parameters.
    function = getattr(zenqa, name)
    prefix = f"{name}_py() "
    for missing in parameters:
        given = {p: None for p in parameters if p != missing}
        assert (
            matching_error(functools.partial(function, **given))
            == prefix + f"missing required positional argument: {missing}"
        )
    count = len(parameters)
    plural = "" if count == 1 else "s"
    assert matching_error(lambda: function(*[None] * (count + 1))) == (
        prefix + f"takes at most {count} positional argument{plural} ({count + 1} given)"
    )


def run_mypy(*arguments):
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True, timeout=300)


def test_stubtest_finds_no_difference():
    result = run_mypy("mypy.stubtest", "zenqa")
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_checks_calls_against_the_stub(tmp_path):
    script = tmp_path / "use_zenqa.py"
    script.write_text(
        textwrap.dedent("""\
        import numpy as np
        import zenqa

        basis = zenqa.gen_gellmann(3)
        f = zenqa.get_structure_constants(basis)
        k, c = f[0, 1]
        column = np.zeros((8, 1), dtype=np.complex128)
        reveal_type(zenqa.cross(column, column, f))
        zenqa.gen_gellmann("3")
        zenqa.dot(column, column, f)
    """)
    )
    result = run_mypy("mypy", "--no-incremental", "--cache-dir", str(tmp_path / "cache"), str(script))
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 2, result.stdout
    assert "use_zenqa.py:9:" in errors[0] and '"gen_gellmann"' in errors[0]
    assert "use_zenqa.py:10:" in errors[1] and '"dot"' in errors[1]
    revealed = next(line for line in result.stdout.splitlines() if "Revealed type" in line)
    # NumPy 1.26 spells complex128 as complexfloating[_64Bit, _64Bit].
    assert "ndarray" in revealed and ("complex128" in revealed or "64Bit, numpy._typing._64Bit" in revealed)
