// Raising Python exceptions from the binding layer. Builders are cold and out of line.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/error.hpp"
#include "py/frame/python.hpp"

namespace qsc::py {

#define QSC_COLD [[gnu::cold, gnu::noinline]]

// Each returns nullptr so that a binding can `return raise_...(...)`.
QSC_COLD PyObject* raise_core_error(const CoreError& error);
QSC_COLD PyObject* raise_type_error(std::string_view message);
QSC_COLD PyObject* raise_value_error(std::string_view message);
QSC_COLD PyObject* raise_runtime_error(const char* message);
// "'{T}' object is not an instance of '{expected}'"
QSC_COLD PyObject* raise_not_instance(PyObject* given, const char* expected);
QSC_COLD PyObject* raise_panic(const char* what);

// Whether the exception being raised may be replaced by a conversion error of our own: an
// interrupt, running out of memory or out of stack is never rewritten.
bool error_is_replaceable() noexcept;
// Replaces the exception being raised by a TypeError with its text.
QSC_COLD void replace_with_type_error();

// Adds "while processing '{name}'" to the exception being raised.
QSC_COLD void note_processing(std::string_view name);

// The exception type for internal invariant failures (a BaseException subclass).
PyObject* make_panic_type();

// What an entry point answers on failure: nullptr, or -1 for an int slot.
template <class R>
constexpr R failure() noexcept {
    if constexpr (std::is_pointer_v<R>) {
        return nullptr;
    } else {
        return -1;
    }
}

// Runs a binding body; no C++ exception ever escapes into the interpreter.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return failure<decltype(body())>();
}

}  // namespace qsc::py
