// The interpreter's private calls the module makes, each with a public fallback. The fallback is
// taken on an interpreter that lacks the call, or in a build with QSC_PUBLIC_API_ONLY.
#pragma once

#include <cstddef>

#include "py/frame/python.hpp"

#if !defined(QSC_PUBLIC_API_ONLY) && PY_VERSION_HEX < 0x030E0000
#define QSC_PRIVATE_API 1
#else
#define QSC_PRIVATE_API 0
#endif

// The table layout of the interpreter's dicts, read by DictMembers, on the one version whose
// layout the module is built and tested against.
#if QSC_PRIVATE_API && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 && !defined(Py_BUILD_CORE)
#define QSC_DICT_TABLE 1
#define Py_BUILD_CORE
#include "internal/pycore_dict.h"
#undef Py_BUILD_CORE
#else
#define QSC_DICT_TABLE 0
#endif

namespace qsc::py {

// A dict with room for `size` items: none of the items set next makes it grow.
inline PyObject* new_dict(Py_ssize_t size) {
#if QSC_PRIVATE_API
    return _PyDict_NewPresized(size);
#else
    (void)size;
    return PyDict_New();
#endif
}

// The bits of an int's magnitude, read from its digits: an int subclass's own methods are not
// run. (size_t)-1 with an exception set when the count does not fit.
inline std::size_t int_bits(PyObject* value) {
#if QSC_PRIVATE_API
    return _PyLong_NumBits(value);
#else
    PyObject* bits = PyObject_CallMethod(reinterpret_cast<PyObject*>(&PyLong_Type), "bit_length", "O", value);
    if (!bits) return static_cast<std::size_t>(-1);
    const std::size_t count = PyLong_AsSize_t(bits);
    Py_DECREF(bits);
    return count;
#endif
}

// The members of an exact dict, in its order, for a reader that runs no Python code until it is
// done (the table must not change meanwhile). A combined table of str keys is read in place;
// any other through PyDict_Next, as is every dict without the private API.
class DictMembers {
public:
    explicit DictMembers(PyObject* dict) noexcept : dict_(dict) {
#if QSC_DICT_TABLE
        auto* const d = reinterpret_cast<PyDictObject*>(dict);
        if (d->ma_values == nullptr && DK_IS_UNICODE(d->ma_keys)) {
            entry_ = DK_UNICODE_ENTRIES(d->ma_keys);
            end_ = entry_ + d->ma_keys->dk_nentries;
        }
#endif
    }

    [[gnu::always_inline]] bool next(PyObject*& key, PyObject*& value) noexcept {
#if QSC_DICT_TABLE
        if (entry_) {
            // Deleted members leave entries without a value.
            while (entry_ != end_ && !entry_->me_value) ++entry_;
            if (entry_ == end_) return false;
            key = entry_->me_key;
            value = entry_->me_value;
            ++entry_;
            return true;
        }
#endif
        return PyDict_Next(dict_, &pos_, &key, &value);
    }

private:
    PyObject* dict_;
    Py_ssize_t pos_ = 0;
#if QSC_DICT_TABLE
    PyDictUnicodeEntry* entry_ = nullptr;
    PyDictUnicodeEntry* end_ = nullptr;
#endif
};

}  // namespace qsc::py
