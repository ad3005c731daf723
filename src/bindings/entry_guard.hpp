#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>

#include "base/fault.hpp"
#include "base/published_messages.hpp"
#include "base/refusals.hpp"
#include "python/errors.hpp"
#include "python/py_ref.hpp"

namespace zenqa {

// Runs the body of an entry the interpreter calls. The body returns its result
// as a PyRef or throws; this is the one place where failures become Python
// exceptions: exactly one is set whenever null is returned. Temporaries of the
// body are released as it unwinds, before the exception is set. The one
// unwinding it lets through is CPython ending a daemon thread at shutdown
// (pthread_exit) when the thread takes the GIL back: swallowed, or met in a
// noexcept function, it would abort the process.
// The sanitizers' null check flags the binding of that unwinding, which has no object.
template <class Body>
[[gnu::no_sanitize("null")]] PyObject* entry_guard(Body&& body) {
    try {
        return body().release();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (PendingError& error) {
        error.restore();
    } catch (const MemoryShortage& shortage) {
        PyErr_SetString(PyExc_MemoryError, shortage.what());
    } catch (const InvalidValue& refusal) {
        PyErr_SetString(PyExc_ValueError, refusal.what());
    } catch (const ResultOverflow& refusal) {
        PyErr_SetString(PyExc_OverflowError, refusal.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& fault) {
        raise_panic(fault.what());
    } catch (...) {
        raise_panic(published::anonymous_panic);
    }
    return nullptr;
}

}  // namespace zenqa
