#pragma once
// Messages that name the function and the argument: a call whose argument does not convert
// reports it as "who: name must be <expected>, got <what>" rather than pybind11's list of
// signatures, and a MemoryError says which call could not allocate how much.

#include <pybind11/pybind11.h>

namespace dorv::binding {

// Reroutes the functions and methods of the module (those without overloads) through a call
// that reports a refused argument by its name (TypeError; RuntimeError from an optional
// matrix, converted in the call) and prefixes the function's name to a MemoryError. Run last,
// once everything is registered.
void name_conversion_failures(pybind11::module_& m);

}  // namespace dorv::binding
