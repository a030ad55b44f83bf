#include "py/frame/errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "py/frame/binding.hpp"
#include "py/frame/interned.hpp"
#include "py/frame/ref.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

namespace {

Ref str_of(std::string_view s) { return Ref::steal(str(s)); }

Ref issue_triples(const CoreError& error) {
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(error.issues.size())));
    if (!tuple) return {};
    for (std::size_t i = 0; i < error.issues.size(); ++i) {
        const Issue& issue = error.issues[i];
        Ref path = str_of(issue.path);
        Ref code = Ref::borrow(wire_names<IssueCode>[issue.code]);
        Ref message = str_of(issue.message);
        if (!path || !code || !message) return {};
        PyObject* triple = PyTuple_Pack(3, path.get(), code.get(), message.get());
        if (!triple) return {};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), triple);
    }
    return tuple;
}

}  // namespace

bool error_is_replaceable() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError) &&
           !PyErr_ExceptionMatches(PyExc_RecursionError);
}

PyObject* raise_core_error(const CoreError& error) {
    Ref text = str_of(error.text());
    if (!text) return nullptr;
    Ref exc = Ref::steal(PyObject_CallOneArg(PyExc_ValueError, text.get()));
    if (!exc) return nullptr;
    Ref issues = issue_triples(error);
    if (!issues) return nullptr;
    Ref trace = error.trace_context ? str_of(*error.trace_context) : Ref::borrow(Py_None);
    if (!trace) return nullptr;
    if (PyObject_SetAttrString(exc.get(), "issues", issues.get()) < 0) return nullptr;
    if (PyObject_SetAttrString(exc.get(), "trace_context", trace.get()) < 0) return nullptr;
    PyErr_SetObject(PyExc_ValueError, exc.get());
    return nullptr;
}

PyObject* raise_type_error(std::string_view message) {
    if (Ref text = str_of(message)) PyErr_SetObject(PyExc_TypeError, text.get());
    return nullptr;
}

PyObject* raise_value_error(std::string_view message) {
    if (Ref text = str_of(message)) PyErr_SetObject(PyExc_ValueError, text.get());
    return nullptr;
}

PyObject* raise_runtime_error(const char* message) {
    PyErr_SetString(PyExc_RuntimeError, message);
    return nullptr;
}

PyObject* raise_not_instance(PyObject* given, const char* expected) {
    Ref name = Ref::steal(PyType_GetName(Py_TYPE(given)));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
    return nullptr;
}

namespace {
// The exception being raised, taken out whole.
Ref take_raised() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    return Ref::steal(value);
#endif
}

// Raises it again as it was: unlike PyErr_SetObject, this leaves its __context__ alone.
void reraise(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* value = exc.release();
    PyObject* type = new_ref(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}
}  // namespace

void replace_with_type_error() {
    Ref exc = take_raised();
    Ref text = exc ? Ref::steal(PyObject_Str(exc.get())) : Ref();
    if (text) PyErr_SetObject(PyExc_TypeError, text.get());
}

void note_processing(std::string_view name) {
    Ref exc = take_raised();
    if (!exc) return;
    Ref note = str_of(cat({"while processing '", name, "'"}));
    if (note) {
        Ref added = Ref::steal(PyObject_CallMethod(exc.get(), "add_note", "O", note.get()));
        if (!added) PyErr_Clear();  // an exception that refuses notes is raised as it is
    } else {
        PyErr_Clear();
    }
    reraise(std::move(exc));
}

namespace {
// Set while a panic is being turned into an exception: a second one cannot be reported.
thread_local bool reporting_panic = false;
}

PyObject* raise_panic(const char* what) {
    if (reporting_panic) {
        std::fputs("uncaught panic at ffi boundary\n", stderr);
        std::abort();
    }
    reporting_panic = true;
    const ModuleState* s = state_or_null();
    PyObject* type = s && s->panic_type ? s->panic_type : PyExc_SystemError;
    PyErr_SetString(type, what);
    reporting_panic = false;
    return nullptr;
}

PyObject* make_panic_type() {
    return PyErr_NewExceptionWithDoc(
        "quarn_sdk_core.PanicException",
        "The exception raised when the native code called from Python hits an internal failure.\n\n"
        "Like SystemExit, it derives from BaseException, so that it typically propagates all the\n"
        "way up and ends the interpreter.",
        PyExc_BaseException, nullptr);
}

}  // namespace qsc::py
