#include "py/frame/object.hpp"

#include <vector>

#include "py/frame/ref.hpp"

namespace qsc::py {

namespace {

// `Class.__new__(Class, ...)` lands here; the call is forwarded to the vectorcall constructor.
PyObject* new_from_tuple(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
        std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + nkw));
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        Ref kwnames;
        if (nkw) {
            kwnames = Ref::steal(PyTuple_New(nkw));
            if (!kwnames) return nullptr;
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k, new_ref(key));
                stack[static_cast<std::size_t>(nargs + k++)] = value;
            }
        }
        return type->tp_vectorcall(reinterpret_cast<PyObject*>(type), stack.data(),
                                   static_cast<std::size_t>(nargs), kwnames.get());
    });
}

}  // namespace

PyTypeObject* make_class(const ClassSpec& spec) {
    std::vector<PyType_Slot> slots = {
        {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
        {Py_tp_doc, const_cast<char*>(spec.doc)},
    };
    if (spec.construct) slots.push_back({Py_tp_new, reinterpret_cast<void*>(&new_from_tuple)});
    if (spec.methods) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.getset) slots.push_back({Py_tp_getset, spec.getset});
    if (spec.traverse) slots.push_back({Py_tp_traverse, reinterpret_cast<void*>(spec.traverse)});
    if (spec.clear) slots.push_back({Py_tp_clear, reinterpret_cast<void*>(spec.clear)});
    slots.push_back({0, nullptr});
    unsigned flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;
    if (!spec.construct) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
    if (spec.traverse) flags |= Py_TPFLAGS_HAVE_GC;
    PyType_Spec type_spec{spec.name, static_cast<int>(spec.basicsize), 0, flags, slots.data()};
    auto* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
    if (type && spec.construct) type->tp_vectorcall = spec.construct;
    return type;
}

}  // namespace qsc::py
