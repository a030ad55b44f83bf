#include "py/frame/interned.hpp"

namespace qsc::py {

Interned::Interned(std::string_view text) noexcept : text_(text), next_(head_) { head_ = this; }

bool Interned::intern_all() noexcept {
    for (Interned* p = head_; p; p = p->next_) {
        if (p->obj_) continue;
        PyObject* s = PyUnicode_FromStringAndSize(p->text_.data(), static_cast<Py_ssize_t>(p->text_.size()));
        if (!s) return false;
        PyUnicode_InternInPlace(&s);
        p->obj_ = s;
    }
    return true;
}

}  // namespace qsc::py
