#pragma once

#include <vector>

#include "array/complex_matrix.hpp"
#include "array/index_map.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// A new complex128 array that NumPy owns, holding a copy of the matrix in its
// memory order: C-contiguous for a row-major matrix, F-contiguous for a
// column-major one.
PyRef matrix_to_numpy(const ComplexMatrix& matrix);

// A list of new arrays, filled one matrix at a time.
class ArrayList {
public:
    ArrayList();
    // Appends a new array holding a copy of the matrix.
    void append(const ComplexMatrix& matrix);
    PyRef release() { return std::move(list_); }

private:
    PyRef list_;
};

// {(i, j): (k, c)} and {(i, j, k): c}, with the keys in increasing order.
PyRef structure_map_to_dict(const StructureConstantMap& map);
PyRef d_map_to_dict(const DCoefficientMap& map);

}  // namespace zenqa
