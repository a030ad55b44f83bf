// Result dicts with fixed keys, made by copying a template that holds the keys in their order:
// copying clones the template's key table at once, where inserting key by key hashes, probes
// and appends for each. Callers then replace the values they vary.
#pragma once

#include <initializer_list>

#include "py/frame/interned.hpp"
#include "py/frame/python.hpp"
#include "py/frame/state.hpp"

namespace qsc::py {

class DictShape {
public:
    // Every key starts with the value None; `Fixed` pairs set a key to a constant instead.
    struct Fixed {
        const Interned* key;
        const Interned* value;
    };

    DictShape(std::initializer_list<const Interned*> keys, std::initializer_list<Fixed> fixed = {}) noexcept {
        for (const Interned* key : keys) {
            for (const Fixed& f : fixed)
                if (f.key == key) fixed_[count_] = f.value;
            keys_[count_++] = key;
        }
        slot_ = cache::add_template(this);
    }
    DictShape(const DictShape&) = delete;
    DictShape& operator=(const DictShape&) = delete;

    // A new dict; nullptr with the exception set on failure. Each interpreter's state holds the
    // template (its values are None or interned strings, which nothing can change).
    PyObject* make() const { return PyDict_Copy(state().cached(slot_)); }

    // The template, from the state's interned strings.
    PyObject* build(const ModuleState& s) const {
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        for (int i = 0; i < count_; ++i) {
            PyObject* value = fixed_[i] ? s.cached(fixed_[i]->slot()) : Py_None;
            if (PyDict_SetItem(dict, s.cached(keys_[i]->slot()), value) != 0) {
                Py_DECREF(dict);
                return nullptr;
            }
        }
        return dict;
    }

private:
    static constexpr int kMaxKeys = 8;
    const Interned* keys_[kMaxKeys] = {};
    const Interned* fixed_[kMaxKeys] = {};
    int count_ = 0;
    int slot_;
};

}  // namespace qsc::py
