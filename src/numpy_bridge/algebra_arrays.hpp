#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "array/complex.hpp"
#include "lie_algebra/basis_forms/sparse_columns.hpp"
#include "numpy_bridge/numpy.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// Whatever NumPy makes of the argument `name`, in its own element type.
// NumPy's ValueError for a ragged or too deeply nested one names it.
PyRef any_array(const std::string& name, PyObject* object);
// An array's shape as Python prints the tuple, and its element type.
std::string shape_of(const PyRef& array);
std::string dtype_of(const PyRef& array);
// Whether the array's element type casts safely to this NumPy type.
bool casts_safely(const PyRef& array, int type_number);
// ValueError with this message.
[[noreturn]] void value_error(const std::string& message);
// MemoryError, before allocating, for `bytes` that cannot fit.
void require_bytes(std::optional<std::uint64_t> bytes, const std::string& what);

// The matrices of an Algebra's basis, d x d, finite, as the nonzero entries
// of the columns of the d*d x n column matrix.
struct BasisValues {
    SparseColumns columns{0};
    std::size_t d = 0;
    bool sparse = false;  // some matrix came as a scipy.sparse matrix
};

// The largest d of a sparse basis: positions r*d + c are counted in 32 bits.
inline constexpr std::size_t max_sparse_dimension = 65535;

// A sequence of d x d matrices, dense or scipy.sparse, or one array of shape
// (n, d, d), whose values cast safely to complex128. TypeError for other
// types and element types, ValueError for other shapes and non-finite
// values; the messages name the argument `basis`.
BasisValues basis_values(PyObject* basis);

// NumPy's text for a shape, such as "(2, 3)".
std::string shape_text(int ndim, const npy_intp* dims);
// TypeError, naming the array `name`, unless its values cast safely to complex128.
void require_complex(const PyRef& array, const std::string& name);
// The values of `array` as complex128 in C order: read in place when it
// holds them so (contiguous, aligned, in native byte order), otherwise cast
// into `buffer`.
const Complex* complex_values(const PyRef& array, std::vector<Complex>& buffer);
// The values of `array` cast to complex128 in C order into `target`, which
// has room for them.
void cast_into(const PyRef& array, Complex* target);

// An array argument as NumPy reads it, checked: its element type casts
// safely to float64 (real input) or complex128, its last extents are those
// the product needs.
struct Operand {
    PyRef array;
    bool complex = false;
    std::vector<std::size_t> batch;  // the leading extents

    // Copies the values, cast, in C order into `buffer`, where they can be
    // read without the GIL; runs no Python code, so it comes after every
    // argument is converted. The copy has the shape checked at conversion
    // even if Python code has reshaped the array since (NumPy refuses a
    // shape it cannot stretch to it).
    const double* copy_to(std::vector<double>& buffer) const;

    std::vector<npy_intp> shape;  // as checked
};

// A coefficient argument: shape (..., n).
Operand coefficient_operand(const char* name, PyObject* object, std::size_t n);
// A matrix argument: shape (..., d, d), always complex128.
Operand matrix_operand(const char* name, PyObject* object, std::size_t d);

// The batch shape the operands broadcast to, as NumPy broadcasts them;
// ValueError naming both shapes when they do not.
std::vector<std::size_t> broadcast_batch(const char* name_a, const Operand& a, const char* name_b, const Operand& b);

// For every position of `shape` in C order, the row of `operand` it reads.
std::vector<std::size_t> broadcast_rows(const Operand& operand, const std::vector<std::size_t>& shape);

// Refuses, with MemoryError, a call whose result (complex128 of shape batch +
// tail) and the copies of its operands, alive at once, cannot fit together,
// though each might alone.
void require_result_and_copies(const std::vector<std::size_t>& batch, std::initializer_list<std::size_t> tail,
                               std::initializer_list<const Operand*> operands);

// A new complex128 array of shape batch + tail, refused with MemoryError
// before allocating when it cannot fit; `zeroed` fills it with zeros.
PyRef new_complex_array(const std::vector<std::size_t>& batch, std::initializer_list<std::size_t> tail,
                        const char* what, bool zeroed = false);
// A new int64 array of shape (rows, 3).
PyRef new_index_array(std::size_t rows);
// The element memory of an array this module created.
void* array_data(const PyRef& array);

// Clears the writeable flag of an array.
void make_read_only(const PyRef& array);

}  // namespace zenqa
