// What the module keeps for its interpreter: type objects, enum singletons, cached strings.
// Created once, on the first import; nothing else is global.
#pragma once

#include <cstdint>

#include "core/enums.hpp"
#include "py/frame/python.hpp"
#include "py/registry.hpp"

namespace qsc::py {

// The non-enumeration classes.
#define QSC_CLASS_ID(Name, name) Name,
enum class ClassId : std::uint8_t { QSC_CLASSES(QSC_CLASS_ID) };
#undef QSC_CLASS_ID
#define QSC_ONE(Name, name) +1
inline constexpr int kClassCount = 0 QSC_CLASSES(QSC_ONE);
#undef QSC_ONE

inline constexpr int kMaxVariants = 16;
static_assert([] {
    for (const EnumTable& table : kEnumTables)
        if (table.count > kMaxVariants) return false;
    return true;
}(), "raise kMaxVariants");

struct ModuleState {
    PyInterpreterState* interpreter = nullptr;
    bool ready = false;
    PyTypeObject* classes[kClassCount] = {};
    PyTypeObject* enums[kEnumCount] = {};
    PyObject* variants[kEnumCount][kMaxVariants] = {};
    PyObject* wire_names[kEnumCount][kMaxVariants] = {};
    PyObject* panic_type = nullptr;
    // Looked up when a payload first needs them.
    PyObject* abc_sequence = nullptr;
    PyObject* abc_mapping = nullptr;
    PyObject* dataclass_fields = nullptr;
};

ModuleState& state() noexcept;

inline PyTypeObject* class_type(ClassId id) noexcept { return state().classes[static_cast<int>(id)]; }

// Interned str for a fixed key, made once.
PyObject* intern(const char* text);

}  // namespace qsc::py
