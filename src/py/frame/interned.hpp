// Fixed strings (parameter names, dict keys) interned once when the module is first imported.
#pragma once

#include <string_view>

#include "py/frame/python.hpp"

namespace qsc::py {

class Interned {
public:
    // `text` must have static storage duration.
    explicit Interned(std::string_view text) noexcept;
    Interned(const Interned&) = delete;
    Interned& operator=(const Interned&) = delete;

    PyObject* get() const noexcept { return obj_; }
    std::string_view text() const noexcept { return text_; }

    // Interns every instance declared so far; false with an exception set on failure.
    static bool intern_all() noexcept;

private:
    std::string_view text_;
    PyObject* obj_ = nullptr;
    Interned* next_;
    static inline Interned* head_ = nullptr;
};

}  // namespace qsc::py
