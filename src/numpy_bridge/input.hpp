#pragma once

#include <vector>

#include "array/complex_matrix.hpp"
#include "array/index_map.hpp"
#include "lib/py_ref.hpp"

namespace zenqa {

// A 2-D complex128 NumPy array borrowed read-only for the call: its writeable
// flag is cleared until the borrow ends, then set again if it was set. The
// values are copied into a native matrix at once, so Python code that runs
// later in the call (while other arguments convert) cannot change them.
class BorrowedMatrix {
public:
    // TypeError for anything but a 2-D complex128 NumPy array.
    explicit BorrowedMatrix(PyObject* object);
    BorrowedMatrix(BorrowedMatrix&& other) noexcept;
    BorrowedMatrix& operator=(BorrowedMatrix&&) = delete;
    ~BorrowedMatrix();

    // The native copy, which the caller may take over.
    ComplexMatrix& matrix() { return matrix_; }

private:
    PyRef array_;
    bool restore_writeable_ = false;
    ComplexMatrix matrix_;
};

// Every item of a sequence, borrowed in iteration order.
std::vector<BorrowedMatrix> borrow_matrix_sequence(PyObject* object);

// The native matrices of borrowed ones, taken over in order.
std::vector<ComplexMatrix> take_matrices(std::vector<BorrowedMatrix>& borrowed);

// {(i, j): (k, c)} and {(i, j, k): c} dicts as native maps.
StructureConstantMap structure_map_from_dict(PyObject* object);
DCoefficientMap d_map_from_dict(PyObject* object);

}  // namespace zenqa
