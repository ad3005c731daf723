from typing import Sequence, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = [
    "__doc__",
    "gen_sylvester",
    "gen_gellmann",
    "get_structure_constants",
    "get_d_coefficients",
    "su_commutator",
    "cross",
    "dot",
]

# The distribution's version; not in __all__.
__version__: str

# A 2-D complex128 array: a d x d basis matrix, or a coefficient vector whose
# elements in row-major order are the coefficients (usually of shape (n, 1)).
_Matrix = npt.NDArray[np.complex128]
# The dicts that get_structure_constants and get_d_coefficients return.
_StructureConstants = dict[tuple[int, int], tuple[int, complex]]
_DCoefficients = dict[tuple[int, int, int], complex]

def gen_sylvester(d: SupportsIndex) -> list[_Matrix]: ...
def gen_gellmann(d: SupportsIndex) -> list[_Matrix]: ...
def get_structure_constants(basis: Sequence[_Matrix]) -> _StructureConstants: ...
def get_d_coefficients(basis: Sequence[_Matrix]) -> _DCoefficients: ...
def su_commutator(l_a: _Matrix, l_b: _Matrix, f_ijk: _StructureConstants, basis: Sequence[_Matrix]) -> _Matrix: ...
def cross(l_a: _Matrix, l_b: _Matrix, f_ijk: _StructureConstants) -> _Matrix: ...
def dot(l_a: _Matrix, l_b: _Matrix, f_ijk: _DCoefficients) -> _Matrix: ...
