#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "array/complex.hpp"

namespace zenqa {

// Streaming stores write past the caches: a large result written once is not
// read again here, and reading its lines in first would double the memory
// traffic. They need 16-byte alignment, which NumPy gives but does not
// promise, so callers ask first.
inline bool streams_to(const Complex* out) {
#if defined(__SSE2__)
    return reinterpret_cast<std::uintptr_t>(out) % 16 == 0;
#else
    return false;
#endif
}

// *target = {re, im}, past the caches where `streaming`, which streams_to
// allowed.
[[gnu::always_inline]] inline void write_result(Complex* target, bool streaming, double re, double im) {
#if defined(__SSE2__)
    if (streaming) {
        _mm_stream_pd(&target->re, _mm_set_pd(im, re));
        return;
    }
#endif
    *target = {re, im};
}

// Orders the streaming stores before whatever tells another thread that the
// results are ready.
inline void finish_streaming() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

}  // namespace zenqa
