#include "py/frame/state.hpp"

namespace qsc::py {

ModuleState& state() noexcept {
    static ModuleState s;
    return s;
}

PyObject* intern(const char* text) { return PyUnicode_InternFromString(text); }

}  // namespace qsc::py
