// Argument checks of the executor module; binding goes through the shared
// header.
#pragma once
#include <tavrik/params.hpp>
#include <cstring>

namespace tavrik {
namespace vantrel {

inline void no_kwargs(const char* fname, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", fname);
        throw_error();
    }
}

}  // namespace vantrel
}  // namespace tavrik
