// Result dicts with fixed keys, made by copying a template that holds the keys in their order:
// copying clones the template's key table at once, where inserting key by key hashes, probes
// and appends for each. Callers then replace the values they vary.
#pragma once

#include <initializer_list>

#include "py/frame/interned.hpp"
#include "py/frame/python.hpp"

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
    }
    DictShape(const DictShape&) = delete;
    DictShape& operator=(const DictShape&) = delete;

    // A new dict; nullptr with the exception set on failure. The template is built on first use
    // and kept (its values are None or interned strings, which nothing can change).
    PyObject* make() {
        if (!template_) template_ = build();
        return template_ ? PyDict_Copy(template_) : nullptr;
    }

private:
    PyObject* build() const {
        PyObject* dict = PyDict_New();
        if (!dict) return nullptr;
        for (int i = 0; i < count_; ++i) {
            PyObject* value = fixed_[i] ? fixed_[i]->get() : Py_None;
            if (PyDict_SetItem(dict, keys_[i]->get(), value) != 0) {
                Py_DECREF(dict);
                return nullptr;
            }
        }
        return dict;
    }

    static constexpr int kMaxKeys = 8;
    const Interned* keys_[kMaxKeys] = {};
    const Interned* fixed_[kMaxKeys] = {};
    int count_ = 0;
    PyObject* template_ = nullptr;
};

}  // namespace qsc::py
