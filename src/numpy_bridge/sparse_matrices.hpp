#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "lie_algebra/basis_forms/sparse_columns.hpp"
#include "numpy_bridge/numpy.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// Whether the object is a scipy.sparse matrix or array. scipy is never
// imported here: an object can only be one once its caller has imported
// scipy.sparse, so a module that is not loaded answers no.
bool is_sparse_matrix(PyObject* object);

// The shape a scipy.sparse matrix reports.
std::vector<npy_intp> sparse_shape(PyObject* matrix);

// The dense form of a scipy.sparse matrix, refused before it is made where
// its values do not cast safely to complex128 (TypeError naming it `name`).
// Its caller has checked its shape.
PyRef dense_form(const std::string& name, PyObject* matrix);

// Appends the d x d scipy.sparse matrix, of any format, as one column to
// `columns`: its stored values cast to complex128, entries stored more than
// once summed, zeros left out. Its dense form is never made. TypeError for
// values that do not cast safely to complex128, ValueError for index arrays
// that contradict the shape; the messages name the matrix `name`. With
// `finite`, ValueError also for NaN or an infinity, naming basis matrix k
// and the entry.
void append_sparse_matrix(PyObject* matrix, const std::string& name, std::size_t k, std::size_t d,
                          SparseColumns& columns, bool finite);

// The columns as a list of d x d scipy.sparse CSR arrays, one per column.
PyRef csr_arrays(const SparseColumns& columns, std::size_t d);

}  // namespace zenqa
