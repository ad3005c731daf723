#include "numpy_bridge/output.hpp"

#include <cstring>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "numpy_bridge/numpy.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

// The interpreter running out of memory for a result is the caller's
// MemoryError; any other failure to create a result object is an internal fault.
PyRef created(PyObject* new_reference) {
    if (new_reference == nullptr) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw fetch_error();
        python_api_failed();
    }
    return PyRef::steal(new_reference);
}

// Python ints for indices, each created once per conversion and shared.
class IndexObjects {
public:
    PyRef get(std::uint64_t index) {
        if (index >= cache_limit) return created(PyLong_FromUnsignedLongLong(index));
        if (index >= objects_.size()) objects_.resize(index + 1);
        PyRef& object = objects_[index];
        if (!object) object = created(PyLong_FromUnsignedLongLong(index));
        return PyRef::borrow(object.get());
    }

private:
    // Indices of the usual maps lie far below; the cache stays at most 8 MiB.
    static constexpr std::uint64_t cache_limit = 1 << 20;
    std::vector<PyRef> objects_;
};

template <class... Items>
PyRef new_tuple(Items... items) {
    PyRef tuple = created(PyTuple_New(sizeof...(items)));
    Py_ssize_t position = 0;
    (PyTuple_SET_ITEM(tuple.get(), position++, items.release()), ...);
    return tuple;
}

PyRef new_complex(Complex c) { return created(PyComplex_FromDoubles(c.re, c.im)); }

void set_item(PyObject* dict, const PyRef& key, const PyRef& value) {
    if (PyDict_SetItem(dict, key.get(), value.get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw fetch_error();
        PyErr_Clear();
        raise_fault(published::dict_insert_failed);
    }
}

template <class Map, class SetItem>
PyRef dict_of(const Map& map, SetItem&& set_entry) {
    PyRef dict = created(PyDict_New());
    std::size_t count = 0;
    for (const auto& [key, value] : map.entries()) {
        if (++count % 4096 == 0) check_signals();  // a dict of millions takes a while to fill
        set_entry(dict.get(), key, value);
    }
    return dict;
}

}  // namespace

PyRef matrix_to_numpy(const ComplexMatrix& matrix) {
    require_numpy();
    const npy_intp rows = static_cast<npy_intp>(matrix.rows());
    const npy_intp cols = static_cast<npy_intp>(matrix.cols());
    npy_intp dims[2] = {rows, cols};
    npy_intp strides[2] = {matrix.row_stride() * npy_intp{sizeof(Complex)},
                           matrix.col_stride() * npy_intp{sizeof(Complex)}};
    const bool fortran_order = !matrix.row_major_contiguous();
    PyRef array =
        created(PyArray_New(&PyArray_Type, 2, dims, NPY_CDOUBLE, strides, nullptr, 0, fortran_order ? 1 : 0, nullptr));
    if (!matrix.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), matrix.data(),
                    matrix.size() * sizeof(Complex));
    }
    return array;
}

ArrayList::ArrayList() : list_(created(PyList_New(0))) {}

void ArrayList::append(const ComplexMatrix& matrix) {
    if (PyList_Append(list_.get(), matrix_to_numpy(matrix).get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw fetch_error();
        python_api_failed();
    }
}

PyRef structure_map_to_dict(const StructureConstantMap& map) {
    IndexObjects indices;
    return dict_of(map, [&](PyObject* dict, const auto& key, const auto& value) {
        const PyRef key_tuple = new_tuple(indices.get(key[0]), indices.get(key[1]));
        const PyRef value_tuple = new_tuple(indices.get(value.k), new_complex(value.c));
        set_item(dict, key_tuple, value_tuple);
    });
}

PyRef d_map_to_dict(const DCoefficientMap& map) {
    IndexObjects indices;
    return dict_of(map, [&](PyObject* dict, const auto& key, const auto& value) {
        const PyRef key_tuple = new_tuple(indices.get(key[0]), indices.get(key[1]), indices.get(key[2]));
        set_item(dict, key_tuple, new_complex(value));
    });
}

}  // namespace zenqa
