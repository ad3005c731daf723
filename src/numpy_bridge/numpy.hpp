#pragma once

// NumPy's C API as every bridge file sees it. numpy_api.cpp defines the API
// table and loads it on first use; the other files refer to it.
#include "python/py_ref.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_23_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL zenqa_numpy_api_table
#ifndef ZENQA_DEFINES_NUMPY_API
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
