#include "numpy_bridge/dynamics_arrays.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "array/complex_vectors.hpp"
#include "base/checked_math.hpp"
#include "base/huge_pages.hpp"
#include "base/thread_team.hpp"
#include "numpy_bridge/algebra_arrays.hpp"
#include "numpy_bridge/numpy.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "numpy_bridge/sparse_matrices.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

PyArrayObject* as_array(const PyRef& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

template <class Extent>
std::string shape_text(const std::vector<Extent>& shape) {
    const std::vector<npy_intp> extents(shape.begin(), shape.end());
    return zenqa::shape_text(static_cast<int>(extents.size()), extents.data());
}

bool has_shape(const PyRef& array, const std::vector<std::size_t>& shape) {
    if (PyArray_NDIM(as_array(array)) != static_cast<int>(shape.size())) return false;
    for (std::size_t axis = 0; axis < shape.size(); ++axis)
        if (PyArray_DIM(as_array(array), static_cast<int>(axis)) != static_cast<npy_intp>(shape[axis])) return false;
    return true;
}

// Copies of this many doubles and more are shared over the threads, in parts
// of copy_part: each part checks what it copied while that is in cache, and
// the threads share the page faults of a fresh target.
constexpr std::size_t threaded_copy = std::size_t{1} << 18;
constexpr std::size_t copy_part = std::size_t{1} << 15;

// Copies `count` doubles and returns the index of the first that is not
// finite, or count.
std::size_t copy_finite_doubles(const double* source, std::size_t count, double* target) {
    if (count < threaded_copy) {
        if (count != 0) std::memcpy(target, source, count * sizeof(double));  // an empty vector's data may be null
        return first_non_finite(target, count);
    }
    const std::size_t parts = (count + copy_part - 1) / copy_part;
    std::vector<std::size_t> found(parts);  // part p's first bad index, or where the next part begins
    ThreadTeam team(compute_threads());
    team.run(parts, [&](std::size_t p) {
        const std::size_t first = p * copy_part, size = std::min(copy_part, count - first);
        std::memcpy(target + first, source + first, size * sizeof(double));
        found[p] = first + first_non_finite(target + first, size);
    });
    for (std::size_t p = 0; p < parts; ++p)
        if (found[p] < std::min(count, (p + 1) * copy_part)) return found[p];
    return count;
}

// The values of an array whose shape and element type are checked, cast to
// the element type of T (complex128 or float64) into `target`, refused when
// not finite.
template <class T>
void copy_finite(const char* name, const PyRef& array, T* target) {
    PyArrayObject* source = as_array(array);
    const std::size_t per_value = sizeof(T) / sizeof(double);
    const std::size_t count = static_cast<std::size_t>(PyArray_SIZE(source)) * per_value;
    auto* doubles = reinterpret_cast<double*>(target);
    std::size_t bad = count;
    const int type_number = sizeof(T) == sizeof(Complex) ? NPY_CDOUBLE : NPY_DOUBLE;
    if (PyArray_TYPE(source) == type_number && PyArray_ISCARRAY_RO(source)) {
        bad = copy_finite_doubles(static_cast<const double*>(PyArray_DATA(source)), count, doubles);
    } else {
        const PyRef copy =
            checked(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number), PyArray_NDIM(source),
                                         PyArray_DIMS(source), nullptr, target, NPY_ARRAY_CARRAY, nullptr));
        if (PyArray_CopyInto(as_array(copy), source) < 0) throw fetch_error();
        bad = first_non_finite(doubles, count);
    }
    if (bad < count)
        value_error(std::string(name) + " of shape " + shape_of(array) + " holds a NaN or an infinity at flat index " +
                    std::to_string(bad / per_value));
}

template <class T>
std::vector<T> finite_values(const char* name, const PyRef& array) {
    const std::size_t size = static_cast<std::size_t>(PyArray_SIZE(as_array(array)));
    require_bytes(checked_product({size, sizeof(T)}), std::string("copying ") + name);
    std::vector<T> values;
    values.reserve(size);
    advise_huge_pages(values.data(), size * sizeof(T));
    values.resize(size);
    copy_finite(name, array, values.data());
    return values;
}

void require_type(const char* name, const PyRef& array, int type_number, const char* type_name) {
    if (!casts_safely(array, type_number))
        throw PendingError(PyExc_TypeError, std::string(name) + " has dtype " + dtype_of(array) +
                                                ", which does not cast safely to " + type_name);
}

// The argument as an array. An object that NumPy can only wrap whole, in an
// array of dtype object (None, a dict, a qutip.Qobj), holds no numbers at all,
// and is refused by its type.
PyRef numbers_array(const char* name, PyObject* object) {
    PyRef array = any_array(name, object);
    if (PyArray_NDIM(as_array(array)) == 0 && PyArray_TYPE(as_array(array)) == NPY_OBJECT && !PyArray_Check(object))
        throw PendingError(PyExc_TypeError,
                           std::string(name) + " must be an array of numbers, not " + Py_TYPE(object)->tp_name);
    return array;
}

// The argument as an array: a scipy.sparse matrix of the given shape in its
// dense form, refused by its own shape and dtype before that is made.
PyRef argument_array(const char* name, PyObject* object, const std::vector<std::size_t>& shape) {
    if (!is_sparse_matrix(object)) return numbers_array(name, object);
    const std::vector<npy_intp> extents = sparse_shape(object);
    if (!std::equal(extents.begin(), extents.end(), shape.begin(), shape.end(),
                    [](npy_intp extent, std::size_t size) { return static_cast<std::size_t>(extent) == size; }))
        value_error(std::string(name) + " has shape " + shape_text(extents) + " but must have shape " +
                    shape_text(shape));
    return dense_form(name, object);
}

}  // namespace

PyRef complex_array_argument(const char* name, PyObject* object, const std::vector<std::size_t>& shape) {
    PyRef array = argument_array(name, object, shape);
    require_type(name, array, NPY_CDOUBLE, "complex128");
    if (!has_shape(array, shape))
        value_error(std::string(name) + " has shape " + shape_of(array) + " but must have shape " + shape_text(shape));
    return array;
}

std::vector<Complex> complex_argument_values(const char* name, const PyRef& array) {
    return finite_values<Complex>(name, array);
}

void copy_complex_argument(const char* name, const PyRef& array, Complex* target) { copy_finite(name, array, target); }

std::vector<Complex> complex_argument(const char* name, PyObject* object, const std::vector<std::size_t>& shape) {
    return complex_argument_values(name, complex_array_argument(name, object, shape));
}

JumpOperators jump_operators_argument(PyObject* object, std::size_t d) {
    const char* name = "jump_operators";
    require_numpy();
    JumpOperators jumps;
    const std::string size = std::to_string(d);
    const auto refuse_shape = [&](const std::string& shape) {
        value_error(std::string(name) + " has shape " + shape + " but must be a sequence of " + size + " x " + size +
                    " matrices or an array of shape (m, " + size + ", " + size + ")");
    };
    if (is_sparse_matrix(object)) {
        const std::vector<npy_intp> extents = sparse_shape(object);
        refuse_shape(shape_text(extents));
    }
    if (is_numpy_array(object) || !PySequence_Check(object)) {
        const PyRef array = numbers_array(name, object);
        require_type(name, array, NPY_CDOUBLE, "complex128");
        PyArrayObject* view = as_array(array);
        jumps.count = PyArray_NDIM(view) == 3 ? static_cast<std::size_t>(PyArray_DIM(view, 0)) : 0;
        if (!has_shape(array, {jumps.count, d, d})) refuse_shape(shape_of(array));
        jumps.values = finite_values<Complex>(name, array);
        return jumps;
    }
    // A sequence: each matrix on its own, named by its place.
    const PyRef items = checked(PySequence_Tuple(object));
    jumps.count = static_cast<std::size_t>(PyTuple_GET_SIZE(items.get()));
    for (std::size_t m = 0; m < jumps.count; ++m) {
        const std::string item = std::string(name) + "[" + std::to_string(m) + "]";
        const std::vector<Complex> values =
            complex_argument(item.c_str(), PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(m)), {d, d});
        jumps.values.insert(jumps.values.end(), values.begin(), values.end());
    }
    return jumps;
}

std::vector<double> rates_argument(PyObject* object, std::size_t count) {
    const char* name = "rates";
    if (object == Py_None) return std::vector<double>(count, 1.0);
    const PyRef array = numbers_array(name, object);
    if (PyTypeNum_ISCOMPLEX(PyArray_TYPE(as_array(array))))
        throw PendingError(PyExc_TypeError,
                           std::string(name) + " has dtype " + dtype_of(array) + ", but rates are real");
    require_type(name, array, NPY_DOUBLE, "float64");
    if (!has_shape(array, {count}))
        value_error(std::string(name) + " has shape " + shape_of(array) + " but there are " + std::to_string(count) +
                    " jump operators, so it must have shape " + shape_text(std::vector<std::size_t>{count}));
    return finite_values<double>(name, array);
}

}  // namespace zenqa
