#include "numpy_bridge/dynamics_arrays.hpp"

#include <string>

#include "array/complex_vectors.hpp"
#include "base/checked_math.hpp"
#include "base/huge_pages.hpp"
#include "numpy_bridge/algebra_arrays.hpp"
#include "numpy_bridge/numpy.hpp"
#include "numpy_bridge/numpy_api.hpp"
#include "python/errors.hpp"

namespace zenqa {

namespace {

PyArrayObject* as_array(const PyRef& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

std::string shape_text(const std::vector<std::size_t>& shape) {
    std::string text = "(";
    for (std::size_t axis = 0; axis < shape.size(); ++axis) text += (axis ? ", " : "") + std::to_string(shape[axis]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

bool has_shape(const PyRef& array, const std::vector<std::size_t>& shape) {
    if (PyArray_NDIM(as_array(array)) != static_cast<int>(shape.size())) return false;
    for (std::size_t axis = 0; axis < shape.size(); ++axis)
        if (PyArray_DIM(as_array(array), static_cast<int>(axis)) != static_cast<npy_intp>(shape[axis])) return false;
    return true;
}

// The values of an array whose shape and element type are checked, cast to
// the element type of T (complex128 or float64) straight into the result,
// refused when not finite.
template <class T>
std::vector<T> finite_values(const char* name, const PyRef& array) {
    PyArrayObject* source = as_array(array);
    const std::size_t size = static_cast<std::size_t>(PyArray_SIZE(source));
    require_bytes(checked_product({size, sizeof(T)}), std::string("copying ") + name);
    std::vector<T> values;
    values.reserve(size);
    advise_huge_pages(values.data(), size * sizeof(T));
    const int type_number = sizeof(T) == sizeof(Complex) ? NPY_CDOUBLE : NPY_DOUBLE;
    if (PyArray_TYPE(source) == type_number && PyArray_ISCARRAY_RO(source)) {
        // One pass: no zeros written first for the copy to overwrite.
        const auto* first = static_cast<const T*>(PyArray_DATA(source));
        values.assign(first, first + size);
    } else {
        values.resize(size);
        const PyRef target =
            checked(PyArray_NewFromDescr(&PyArray_Type, PyArray_DescrFromType(type_number), PyArray_NDIM(source),
                                         PyArray_DIMS(source), nullptr, values.data(), NPY_ARRAY_CARRAY, nullptr));
        if (PyArray_CopyInto(as_array(target), source) < 0) throw fetch_error();
    }
    const std::size_t per_value = sizeof(T) / sizeof(double);
    const std::size_t p = first_non_finite(reinterpret_cast<const double*>(values.data()), size * per_value);
    if (p < size * per_value)
        value_error(std::string(name) + " of shape " + shape_of(array) + " holds a NaN or an infinity at flat index " +
                    std::to_string(p / per_value));
    return values;
}

void require_type(const char* name, const PyRef& array, int type_number, const char* type_name) {
    if (!casts_safely(array, type_number))
        throw PendingError(PyExc_TypeError, std::string(name) + " has dtype " + dtype_of(array) +
                                                ", which does not cast safely to " + type_name);
}

}  // namespace

std::vector<Complex> complex_argument(const char* name, PyObject* object, const std::vector<std::size_t>& shape) {
    const PyRef array = any_array(object);
    require_type(name, array, NPY_CDOUBLE, "complex128");
    if (!has_shape(array, shape))
        value_error(std::string(name) + " has shape " + shape_of(array) + " but must have shape " + shape_text(shape));
    return finite_values<Complex>(name, array);
}

JumpOperators jump_operators_argument(PyObject* object, std::size_t d) {
    const char* name = "jump_operators";
    require_numpy();
    JumpOperators jumps;
    const std::string size = std::to_string(d);
    if (is_numpy_array(object) || !PySequence_Check(object)) {
        const PyRef array = any_array(object);
        require_type(name, array, NPY_CDOUBLE, "complex128");
        PyArrayObject* view = as_array(array);
        jumps.count = PyArray_NDIM(view) == 3 ? static_cast<std::size_t>(PyArray_DIM(view, 0)) : 0;
        if (!has_shape(array, {jumps.count, d, d})) {
            value_error(std::string(name) + " has shape " + shape_of(array) + " but must be a sequence of " + size +
                        " x " + size + " matrices or an array of shape (m, " + size + ", " + size + ")");
        }
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
    const PyRef array = any_array(object);
    if (PyTypeNum_ISCOMPLEX(PyArray_TYPE(as_array(array))))
        throw PendingError(PyExc_TypeError,
                           std::string(name) + " has dtype " + dtype_of(array) + ", but rates are real");
    require_type(name, array, NPY_DOUBLE, "float64");
    if (!has_shape(array, {count}))
        value_error(std::string(name) + " has shape " + shape_of(array) + " but there are " + std::to_string(count) +
                    " jump operators, so it must have shape " + shape_text({count}));
    return finite_values<double>(name, array);
}

}  // namespace zenqa
