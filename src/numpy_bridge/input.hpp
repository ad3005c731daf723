#pragma once

#include <vector>

#include "array/complex_matrix.hpp"
#include "array/index_map.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// A 2-D complex128 NumPy array borrowed read-only for the call: its writeable
// flag is cleared until the borrow ends, then set again if it was set.
class BorrowedMatrix {
public:
    // TypeError for anything but a 2-D complex128 NumPy array.
    explicit BorrowedMatrix(PyObject* object);
    BorrowedMatrix(BorrowedMatrix&& other) noexcept;
    BorrowedMatrix& operator=(BorrowedMatrix&&) = delete;
    ~BorrowedMatrix();

    // A native copy of the values as they are now. Python code that ran since
    // the borrow (while other arguments converted) may have reshaped the array
    // or changed its dtype, so it is checked again.
    ComplexMatrix copy() const;

private:
    PyRef array_;
    bool restore_writeable_ = false;
};

// Every item of a sequence, borrowed in iteration order.
std::vector<BorrowedMatrix> borrow_matrix_sequence(PyObject* object);

// Native copies of borrowed matrices, in order.
std::vector<ComplexMatrix> copy_matrices(const std::vector<BorrowedMatrix>& borrowed);

// {(i, j): (k, c)} and {(i, j, k): c} dicts as native maps.
StructureConstantMap structure_map_from_dict(PyObject* object);
DCoefficientMap d_map_from_dict(PyObject* object);

}  // namespace zenqa
