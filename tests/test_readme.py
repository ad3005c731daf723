"""The README's Python examples run as they stand, each on its own.

A block that is only an illustration is preceded by the line <!-- not run -->.
"""

import pathlib
import re

import pytest

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^(<!-- not run -->\n)?```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks():
    text = README.read_text()
    return {
        f"README.md:{text.count(chr(10), 0, match.start(2)) + 1}": match.group(2)
        for match in BLOCK.finditer(text)
        if not match.group(1)
    }


BLOCKS = python_blocks()


@pytest.mark.parametrize("where", list(BLOCKS))
def test_readme_block_runs(where):
    exec(compile(BLOCKS[where], where, "exec"), {"__name__": "__readme__"})


def test_readme_blocks_show_the_main_uses():
    shown = "\n".join(BLOCKS.values())
    for use in ["get_structure_constants(", "get_d_coefficients(", "cross(", "Algebra(", ".bracket(", ".lindblad("]:
        assert use in shown, use
