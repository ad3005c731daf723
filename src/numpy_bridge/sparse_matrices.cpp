#include "numpy_bridge/sparse_matrices.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <utility>

#include "base/checked_math.hpp"
#include "lie_algebra/basis_forms/basis_range.hpp"
#include "numpy_bridge/algebra_arrays.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

PyArrayObject* as_array(const PyRef& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

[[noreturn]] void malformed(const std::string& name, const std::string& what) {
    throw PendingError(PyExc_ValueError, name + " is not a valid CSR matrix: " + what);
}

// A 1-D index array of the matrix as int64, contiguous.
PyRef index_array(const PyRef& csr, const char* attribute) {
    const PyRef object = checked(PyObject_GetAttrString(csr.get(), attribute));
    return checked(PyArray_FromAny(object.get(), PyArray_DescrFromType(NPY_INT64), 1, 1, NPY_ARRAY_CARRAY_RO, nullptr));
}

// A new 1-D array of `size` elements of the given type.
PyRef new_vector(std::size_t size, int type_number) {
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    return checked(PyArray_SimpleNew(1, dims, type_number));
}

}  // namespace

bool is_sparse_matrix(PyObject* object) {
    // Arrays, the common item, without a call into scipy.
    require_numpy();
    if (PyArray_Check(object)) return false;
    const PyRef name = checked(PyUnicode_FromString("scipy.sparse"));
    PyObject* module = PyImport_GetModule(name.get());
    if (module == nullptr) {
        if (PyErr_Occurred()) throw fetch_error();
        return false;
    }
    const PyRef sparse = PyRef::steal(module);
    const PyRef answer = checked(PyObject_CallMethod(sparse.get(), "issparse", "(O)", object));
    const int truth = PyObject_IsTrue(answer.get());
    if (truth < 0) throw fetch_error();
    return truth == 1;
}

std::vector<npy_intp> sparse_shape(PyObject* matrix) {
    const PyRef shape = checked(PyObject_GetAttrString(matrix, "shape"));
    const PyRef items = checked(PySequence_Tuple(shape.get()));
    std::vector<npy_intp> extents;
    for (Py_ssize_t axis = 0; axis < PyTuple_GET_SIZE(items.get()); ++axis) {
        const npy_intp extent = PyLong_AsSsize_t(PyTuple_GET_ITEM(items.get(), axis));
        if (extent == -1 && PyErr_Occurred()) throw fetch_error();
        extents.push_back(extent);
    }
    return extents;
}

PyRef dense_form(const std::string& name, PyObject* matrix) {
    // An empty array of its dtype stands for its values.
    PyArray_Descr* dtype = nullptr;
    if (!PyArray_DescrConverter(checked(PyObject_GetAttrString(matrix, "dtype")).get(), &dtype)) throw fetch_error();
    npy_intp none[1] = {0};
    const PyRef empty = checked(PyArray_Empty(1, none, dtype, 0));
    require_complex(empty, name);
    std::optional<std::uint64_t> bytes = PyArray_ITEMSIZE(as_array(empty));
    for (const npy_intp extent : sparse_shape(matrix))
        if (bytes) bytes = checked_product({*bytes, static_cast<std::uint64_t>(extent)});
    require_bytes(bytes, "the dense form of " + name);
    return any_array(name, checked(PyObject_CallMethod(matrix, "toarray", nullptr)).get());
}

void append_sparse_matrix(PyObject* matrix, const std::string& name, std::size_t k, std::size_t d,
                          SparseColumns& columns, bool finite) {
    const PyRef csr = checked(PyObject_CallMethod(matrix, "tocsr", nullptr));
    const PyRef data =
        checked(PyArray_FromAny(checked(PyObject_GetAttrString(csr.get(), "data")).get(), nullptr, 1, 1, 0, nullptr));
    require_complex(data, name);
    const PyRef indptr = index_array(csr, "indptr"), indices = index_array(csr, "indices");
    std::vector<Complex> buffer;
    const Complex* values = complex_values(data, buffer);
    const auto* row_begin = static_cast<const std::int64_t*>(PyArray_DATA(as_array(indptr)));
    const auto* column = static_cast<const std::int64_t*>(PyArray_DATA(as_array(indices)));
    const auto stored =
        static_cast<std::int64_t>(std::min(PyArray_SIZE(as_array(indices)), PyArray_SIZE(as_array(data))));
    // Every index is checked before it is used: nothing is read past the arrays.
    if (PyArray_SIZE(as_array(indptr)) != static_cast<npy_intp>(d) + 1)
        malformed(name, "indptr has " + std::to_string(PyArray_SIZE(as_array(indptr))) + " entries for " +
                            std::to_string(d) + " rows");
    if (row_begin[0] != 0) malformed(name, "indptr does not start at 0");
    for (std::size_t r = 0; r < d; ++r) {
        if (row_begin[r + 1] < row_begin[r]) malformed(name, "indptr is not increasing");
        if (row_begin[r + 1] > stored)
            malformed(name, "indptr reaches entry " + std::to_string(row_begin[r + 1]) + " but data holds " +
                                std::to_string(PyArray_SIZE(as_array(data))) + " entries and indices " +
                                std::to_string(PyArray_SIZE(as_array(indices))));
    }
    std::vector<std::pair<std::int64_t, Complex>> row;
    for (std::size_t r = 0; r < d; ++r) {
        row.clear();
        bool ordered = true;
        for (std::int64_t e = row_begin[r]; e < row_begin[r + 1]; ++e) {
            const std::int64_t c = column[e];
            if (c < 0 || c >= static_cast<std::int64_t>(d)) malformed(name, "a column index is out of range");
            if (finite) require_finite_entry(values[e], k, r * d + static_cast<std::size_t>(c), d);
            ordered = ordered && (row.empty() || row.back().first < c);
            row.emplace_back(c, values[e]);
        }
        // Entries stored more than once are summed in the order they are stored.
        if (!ordered)
            std::stable_sort(row.begin(), row.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t e = 0; e < row.size();) {
            Complex sum = row[e].second;
            std::size_t f = e + 1;
            for (; f < row.size() && row[f].first == row[e].first; ++f) sum = sum + row[f].second;
            const std::size_t position = r * d + static_cast<std::size_t>(row[e].first);
            if (finite) require_finite_entry(sum, k, position, d);
            if (!is_zero(sum)) columns.append(position, sum);
            e = f;
        }
    }
    columns.end_column();
}

PyRef csr_arrays(const SparseColumns& columns, std::size_t d) {
    const PyRef sparse = checked(PyImport_ImportModule("scipy.sparse"));
    const PyRef csr_array = checked(PyObject_GetAttrString(sparse.get(), "csr_array"));
    const PyRef shape = checked(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(d), static_cast<Py_ssize_t>(d)));
    const PyRef keywords = checked(Py_BuildValue("{s:O}", "shape", shape.get()));
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(columns.cols())));
    for (std::size_t k = 0; k < columns.cols(); ++k) {
        std::size_t count = 0;
        columns.for_each_nonzero(k, [&](std::size_t, Complex) { ++count; });
        const PyRef data = new_vector(count, NPY_CDOUBLE), indices = new_vector(count, NPY_INT64),
                    indptr = new_vector(d + 1, NPY_INT64);
        auto* values = static_cast<Complex*>(PyArray_DATA(as_array(data)));
        auto* column = static_cast<std::int64_t*>(PyArray_DATA(as_array(indices)));
        auto* row_begin = static_cast<std::int64_t*>(PyArray_DATA(as_array(indptr)));
        std::size_t e = 0, rows_begun = 0;
        columns.for_each_nonzero(k, [&](std::size_t p, Complex v) {
            for (; rows_begun <= p / d; ++rows_begun) row_begin[rows_begun] = static_cast<std::int64_t>(e);
            column[e] = static_cast<std::int64_t>(p % d);
            values[e++] = v;
        });
        for (; rows_begun <= d; ++rows_begun) row_begin[rows_begun] = static_cast<std::int64_t>(e);
        const PyRef arrays = checked(PyTuple_Pack(3, data.get(), indices.get(), indptr.get()));
        const PyRef arguments = checked(PyTuple_Pack(1, arrays.get()));
        PyRef matrix = checked(PyObject_Call(csr_array.get(), arguments.get(), keywords.get()));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(k), matrix.release());
    }
    return list;
}

}  // namespace zenqa
