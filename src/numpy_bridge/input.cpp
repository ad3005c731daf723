#include "numpy_bridge/input.hpp"

#include <cstring>
#include <string>

#include "base/checked_math.hpp"
#include "base/memory_check.hpp"
#include "base/published_messages.hpp"
#include "numpy_bridge/numpy.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "python/errors.hpp"
#include "python/integers.hpp"

namespace zenqa {

namespace {

constexpr npy_intp element_bytes = sizeof(Complex);

// A sequence's length is only a hint (__len__ may report anything): room is
// reserved for at most this many items up front, and grows past it.
constexpr std::size_t trusted_length_hint = 1 << 16;

PyArrayObject* complex_matrix_array(PyObject* object) {
    if (!is_numpy_array(object)) throw downcast_error(object, published::array_target);
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    if (PyArray_TYPE(array) != NPY_CDOUBLE || PyArray_NDIM(array) != 2)
        throw shape_mismatch(PyArray_NDIM(array), PyArray_TYPE(array));
    return array;
}

double byte_swapped(double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    bits = __builtin_bswap64(bits);
    std::memcpy(&value, &bits, sizeof bits);
    return value;
}

// Reads every element at its true byte address (byte strides need not be
// multiples of the element size, nor the data aligned) and in its stored
// byte order. Contiguous arrays keep their row- or column-major order.
ComplexMatrix copy_values(PyArrayObject* array) {
    const npy_intp rows = PyArray_DIM(array, 0), cols = PyArray_DIM(array, 1);
    const npy_intp row_stride = PyArray_STRIDE(array, 0), col_stride = PyArray_STRIDE(array, 1);
    const std::size_t urows = static_cast<std::size_t>(rows), ucols = static_cast<std::size_t>(cols);
    ComplexMatrix::check_size(urows, ucols);
    require_memory(checked_product({urows, ucols, sizeof(Complex)}), [&] {
        return "copying a " + std::to_string(rows) + " x " + std::to_string(cols) + " argument array";
    });

    const bool c_order =
        (rows <= 1 || row_stride == cols * element_bytes) && (cols <= 1 || col_stride == element_bytes);
    const bool f_order =
        (rows <= 1 || row_stride == element_bytes) && (cols <= 1 || col_stride == rows * element_bytes);
    ComplexMatrix matrix =
        ComplexMatrix::zeros(urows, ucols, f_order && !c_order ? Layout::ColumnMajor : Layout::RowMajor);
    if (matrix.empty()) return matrix;
    const char* base = PyArray_BYTES(array);
    if (c_order || f_order) {
        std::memcpy(static_cast<void*>(matrix.data()), base, matrix.size() * sizeof(Complex));
    } else {
        Complex* out = matrix.data();
        for (npy_intp i = 0; i < rows; ++i)
            for (npy_intp j = 0; j < cols; ++j)
                std::memcpy(static_cast<void*>(out++), base + i * row_stride + j * col_stride, sizeof(Complex));
    }
    if (!PyArray_ISNOTSWAPPED(array)) {
        Complex* values = matrix.data();
        for (std::size_t p = 0; p < matrix.size(); ++p)
            values[p] = {byte_swapped(values[p].re), byte_swapped(values[p].im)};
    }
    return matrix;
}

void require_tuple(PyObject* object, Py_ssize_t length) {
    if (!PyTuple_Check(object)) throw downcast_error(object, published::tuple_target);
    if (PyTuple_GET_SIZE(object) != length) {
        throw PendingError(PyExc_ValueError,
                           published::wrong_tuple_length(static_cast<std::size_t>(length),
                                                         static_cast<std::size_t>(PyTuple_GET_SIZE(object))));
    }
}

Complex to_complex(PyObject* object) {
    const Py_complex value = PyComplex_AsCComplex(object);
    if (value.real == -1.0 && PyErr_Occurred()) throw fetch_error();
    return {value.real, value.imag};
}

// Python code run by the conversion (__index__, __complex__) may change the
// dict: every key and value is held while it converts, and a change of size
// stops the conversion as it would stop a Python loop over the dict.
template <class Map, class ConvertItem>
Map map_from_dict(PyObject* object, ConvertItem&& convert_item) {
    if (!PyDict_Check(object)) throw downcast_error(object, published::dict_target);
    const PyRef dict = PyRef::borrow(object);
    const Py_ssize_t size = PyDict_GET_SIZE(object);
    std::vector<typename Map::Entry> entries;
    entries.reserve(static_cast<std::size_t>(size));
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(dict.get(), &position, &key, &value)) {
        if (entries.size() % 4096 == 4095) check_signals();  // a dict of millions takes a while
        {
            const PyRef held_key = PyRef::borrow(key), held_value = PyRef::borrow(value);
            entries.push_back(convert_item(held_key.get(), held_value.get()));
        }  // letting them go can run a finaliser too
        if (PyDict_GET_SIZE(dict.get()) != size) throw PendingError(PyExc_RuntimeError, published::dict_changed_size);
    }
    return Map(std::move(entries));
}

}  // namespace

BorrowedMatrix::BorrowedMatrix(PyObject* object) {
    PyArrayObject* array = complex_matrix_array(object);
    array_ = PyRef::borrow(object);
    restore_writeable_ = PyArray_CHKFLAGS(array, NPY_ARRAY_WRITEABLE);
    if (restore_writeable_) PyArray_CLEARFLAGS(array, NPY_ARRAY_WRITEABLE);
}

BorrowedMatrix::BorrowedMatrix(BorrowedMatrix&& other) noexcept
    : array_(std::move(other.array_)), restore_writeable_(std::exchange(other.restore_writeable_, false)) {}

BorrowedMatrix::~BorrowedMatrix() {
    if (restore_writeable_) PyArray_ENABLEFLAGS(reinterpret_cast<PyArrayObject*>(array_.get()), NPY_ARRAY_WRITEABLE);
}

ComplexMatrix BorrowedMatrix::copy() const { return copy_values(complex_matrix_array(array_.get())); }

std::vector<BorrowedMatrix> borrow_matrix_sequence(PyObject* object) {
    if (!PySequence_Check(object)) throw downcast_error(object, published::sequence_target);
    Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
        length = 0;
    }
    std::vector<BorrowedMatrix> borrowed;
    borrowed.reserve(std::min<std::size_t>(static_cast<std::size_t>(length), trusted_length_hint));
    const PyRef iterator = checked(PyObject_GetIter(object));
    while (const PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) borrowed.emplace_back(item.get());
    if (PyErr_Occurred()) throw fetch_error();
    return borrowed;
}

std::vector<ComplexMatrix> copy_matrices(const std::vector<BorrowedMatrix>& borrowed) {
    std::vector<ComplexMatrix> matrices;
    matrices.reserve(borrowed.size());
    for (const BorrowedMatrix& matrix : borrowed) matrices.push_back(matrix.copy());
    return matrices;
}

StructureConstantMap structure_map_from_dict(PyObject* object) {
    return map_from_dict<StructureConstantMap>(object, [](PyObject* key, PyObject* value) {
        require_tuple(key, 2);
        const std::uint64_t i = to_u64(PyTuple_GET_ITEM(key, 0)), j = to_u64(PyTuple_GET_ITEM(key, 1));
        require_tuple(value, 2);
        const std::uint64_t k = to_u64(PyTuple_GET_ITEM(value, 0));
        return StructureConstantMap::Entry{{i, j}, {k, to_complex(PyTuple_GET_ITEM(value, 1))}};
    });
}

DCoefficientMap d_map_from_dict(PyObject* object) {
    return map_from_dict<DCoefficientMap>(object, [](PyObject* key, PyObject* value) {
        require_tuple(key, 3);
        const std::uint64_t i = to_u64(PyTuple_GET_ITEM(key, 0)), j = to_u64(PyTuple_GET_ITEM(key, 1)),
                            k = to_u64(PyTuple_GET_ITEM(key, 2));
        return DCoefficientMap::Entry{{i, j, k}, to_complex(value)};
    });
}

}  // namespace zenqa
