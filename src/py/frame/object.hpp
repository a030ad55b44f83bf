// Instances of the module's classes: a core value plus the use counter that refuses
// conflicting re-entrant uses.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "py/frame/errors.hpp"
#include "py/frame/python.hpp"
#include "py/frame/ref.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

struct ObjectBase {
    PyObject_HEAD
    std::int32_t uses;  // 0 free, n > 0 shared, -1 exclusive
};

template <class T, ClassId Id>
struct Object : ObjectBase {
    using Value = T;
    static constexpr ClassId id = Id;
    T value;
};

enum class Use : std::uint8_t { Shared, Exclusive };

// Held for a whole call; a refused use raises and leaves the object untouched.
class UseGuard {
public:
    UseGuard(PyObject* self, Use use) noexcept : obj_(reinterpret_cast<ObjectBase*>(self)) {
        if (use == Use::Exclusive) {
            if (obj_->uses != 0) refuse("Already borrowed");
            else obj_->uses = -1;
        } else {
            if (obj_->uses < 0) refuse("Already mutably borrowed");
            else ++obj_->uses;
        }
    }
    ~UseGuard() {
        if (!obj_) return;
        if (obj_->uses < 0) obj_->uses = 0;
        else --obj_->uses;
    }
    UseGuard(const UseGuard&) = delete;
    UseGuard& operator=(const UseGuard&) = delete;
    explicit operator bool() const noexcept { return obj_ != nullptr; }

private:
    void refuse(const char* message) noexcept {
        raise_runtime_error(message);
        obj_ = nullptr;
    }
    ObjectBase* obj_;
};

// "Name" of "quarn_sdk_core.Name".
inline const char* short_name(PyTypeObject* type) noexcept {
    const char* dot = std::strrchr(type->tp_name, '.');
    return dot ? dot + 1 : type->tp_name;
}

template <class Obj>
Obj& as(PyObject* self) noexcept { return *reinterpret_cast<Obj*>(self); }

// A new instance holding `value` (moved in).
template <class Obj>
PyObject* make_object(typename Obj::Value&& value) {
    PyTypeObject* type = class_type(Obj::id);
    // The allocator tracks collectable objects at once; the collector must not traverse a value
    // that does not exist yet, nor find a freed object in its lists.
    const bool collectable = PyType_IS_GC(type);
    PyObject* self;
    if (collectable) {
        self = type->tp_alloc(type, 0);
    } else {
        // What the generic allocator does for such a class (none of them sets its own), less
        // zeroing the block: every field is set below.
        self = static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize)));
        if (!self) return PyErr_NoMemory();
        PyObject_Init(self, type);
    }
    if (!self) return nullptr;
    if (collectable) PyObject_GC_UnTrack(self);
    auto* obj = reinterpret_cast<Obj*>(self);
    obj->uses = 0;
    try {
        new (&obj->value) typename Obj::Value(std::move(value));
    } catch (...) {
        type->tp_free(self);
        Py_DECREF(type);
        throw;
    }
    if (collectable) PyObject_GC_Track(self);
    return self;
}

// A new instance whose value `step` computes once the instance exists. For a mutating call that
// answers with an object: running out of memory for the answer must not follow a change of state.
template <class Obj, class Step>
PyObject* make_object_after(Step&& step) {
    Ref self = Ref::steal(make_object<Obj>(typename Obj::Value{}));
    if (!self) return nullptr;
    as<Obj>(self.get()).value = step();
    return self.release();
}

template <class Obj>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
    if (type->tp_clear) type->tp_clear(self);
    std::destroy_at(&reinterpret_cast<Obj*>(self)->value);
    type->tp_free(self);
    Py_DECREF(type);
}

// An argument that must be an instance of one of the module's classes.
template <class Obj>
bool convert(PyObject* o, Obj*& out) requires requires { Obj::id; } {
    PyTypeObject* type = class_type(Obj::id);
    if (!PyObject_TypeCheck(o, type)) {
        raise_not_instance(o, short_name(type));
        return false;
    }
    out = reinterpret_cast<Obj*>(o);
    return true;
}

struct ClassSpec {
    const char* name;  // "quarn_sdk_core.Name"
    const char* doc;
    std::size_t basicsize;
    destructor dealloc;
    vectorcallfunc construct = nullptr;  // none: not instantiable
    PyMethodDef* methods = nullptr;
    PyGetSetDef* getset = nullptr;
    traverseproc traverse = nullptr;
    inquiry clear = nullptr;
};

PyTypeObject* make_class(const ClassSpec& spec);

template <class Obj>
ClassSpec class_spec(const char* name, const char* doc = nullptr) {
    return ClassSpec{name, doc, sizeof(Obj), &dealloc<Obj>};
}

// Cyclic garbage collection for a class whose value keeps Python objects: the value provides
// `int traverse(visitproc, void*) const` and `void clear()`.
template <class Obj>
int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));  // an instance of a heap type owns a reference to its type
    return as<Obj>(self).value.traverse(visit, arg);
}

// Clearing is a mutating use: refused while a call is using the object.
template <class Obj>
int clear(PyObject* self) {
    UseGuard use(self, Use::Exclusive);
    if (!use) return -1;
    as<Obj>(self).value.clear();
    return 0;
}

template <class Obj>
ClassSpec collectable_class_spec(const char* name, const char* doc = nullptr) {
    ClassSpec spec = class_spec<Obj>(name, doc);
    spec.traverse = &traverse<Obj>;
    spec.clear = &clear<Obj>;
    return spec;
}

}  // namespace qsc::py
