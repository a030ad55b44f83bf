// What the module keeps for each interpreter that imports it: type objects, enum singletons,
// interned strings, dict templates and a few looked-up objects. Nothing that is a Python object
// lives anywhere else: with a GIL per interpreter, two interpreters run the module at once.
//
// One state is current on a thread at a time; state() reads it with one thread-local load. Every
// C entry point checks that the current state is the one it needs and, when it is not, runs
// inside a StateScope that finds the right one.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

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
    std::int64_t interpreter_id = -1;
    PyTypeObject* classes[kClassCount] = {};
    PyTypeObject* enums[kEnumCount] = {};
    PyObject* variants[kEnumCount][kMaxVariants] = {};
    PyObject* panic_type = nullptr;
    // Looked up when a payload first needs them.
    PyObject* abc_sequence = nullptr;
    PyObject* abc_mapping = nullptr;
    PyObject* dataclass_fields = nullptr;

    // Module objects bound to this state (under the registry's lock).
    long modules = 0;
    // Open scopes, and whether the last module object went while some were open: the state is
    // then released when the last scope closes. Only the interpreter's own threads touch these,
    // under its GIL.
    int active = 0;
    bool orphaned = false;

    // The interned strs and dict templates (frame/interned.hpp) follow the struct, one per slot.
    PyObject* cached(int slot) const noexcept { return reinterpret_cast<PyObject* const*>(this + 1)[slot]; }
    PyObject*& cached_slot(int slot) noexcept { return reinterpret_cast<PyObject**>(this + 1)[slot]; }
};

namespace state_detail {
// Stands for "no state": its interpreter and classes are null, so the entry checks below fail on
// it without a test of their own.
extern constinit ModuleState no_state;
// The current thread's state (see StateScope). Initial-exec: a read is one load off the thread
// pointer, not a call to the dynamic linker's lookup.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local ModuleState* current;
// The main interpreter's state, kept to process exit; no_state until the main interpreter
// imports the module.
extern std::atomic<ModuleState*> main_state;

// What a scope restores.
struct Entered {
    ModuleState* previous;
    ModuleState* counted;  // a subinterpreter's state, counted as in use
};
// Makes `known`, or else the calling interpreter's state, current; an interpreter without one
// leaves no_state current with an exception set.
Entered enter(ModuleState* known) noexcept;
void leave(Entered entered) noexcept;
[[noreturn, gnu::cold]] void no_scope() noexcept;

#if !defined(NDEBUG) || defined(QSC_SANITIZE)
// Builds with checks leave no state current outside the scopes, so that an entry point that
// reads it without one is caught at once.
inline constexpr bool kCheckScopes = true;
#else
inline constexpr bool kCheckScopes = false;
#endif
}  // namespace state_detail

// The state of the interpreter that called in, as the entry point made it current.
inline ModuleState& state() noexcept {
    if constexpr (state_detail::kCheckScopes) {
        if (state_detail::current == &state_detail::no_state) state_detail::no_scope();
    }
    return *state_detail::current;
}

// The current state when it is the calling interpreter's, else nullptr (for error reporting
// that must not fail).
inline ModuleState* state_or_null() noexcept {
    ModuleState* s = state_detail::current;
    return s->interpreter == PyInterpreterState_Get() ? s : nullptr;
}

// Makes a state current for the life of the scope, then restores the previous one: a callback
// may run another interpreter's code on this thread, which may call back into the module.
//
// Outside the scopes, the main interpreter's state (never released) stays current on a thread
// that has used it, except in builds with checks; any other state is current only inside a
// scope. So an entry point need not open a scope when the current state is already the right
// one (EntryCheck), which is the common case and costs a load and a comparison.
class StateScope {
public:
    // `known`, or else the calling interpreter's state.
    explicit StateScope(ModuleState* known = nullptr) noexcept : saved_(state_detail::enter(known)) {}
    ~StateScope() { state_detail::leave(saved_); }
    StateScope(const StateScope&) = delete;
    StateScope& operator=(const StateScope&) = delete;

    // False, with an exception set, when the interpreter has no state.
    explicit operator bool() const noexcept { return state_detail::current != &state_detail::no_state; }

private:
    state_detail::Entered saved_;
};

// Where a class sits in a state, as a byte offset, so that one out-of-line path serves them all.
using TypeSlot = std::uint32_t;
inline constexpr TypeSlot kNoType = 0;  // the interpreter's place, never a class
template <class Id>
constexpr TypeSlot type_slot(Id id) noexcept {
    if constexpr (std::is_same_v<Id, EnumId>) {
        return offsetof(ModuleState, enums) + sizeof(PyTypeObject*) * static_cast<std::size_t>(id);
    } else {
        return offsetof(ModuleState, classes) + sizeof(PyTypeObject*) * static_cast<std::size_t>(id);
    }
}
inline PyTypeObject* type_at(const ModuleState& s, TypeSlot slot) noexcept {
    return *reinterpret_cast<PyTypeObject* const*>(reinterpret_cast<const char*>(&s) + slot);
}

// Whether the current state is the one an entry point needs.
struct EntryCheck {
    // A call on `self`, an instance of the class at `slot`: the current state made that class.
    // No call into the interpreter is needed (one per entry would cost more than some whole
    // methods). An object is used in the interpreter that made it, so this is the calling
    // interpreter's state wherever isolation holds.
    static bool owns(PyObject* self, TypeSlot slot) noexcept {
        return Py_TYPE(self) == type_at(*state_detail::current, slot);
    }
    // Any other call: the current state is the calling interpreter's.
    static bool callers() noexcept { return state_detail::current->interpreter == PyInterpreterState_Get(); }
};

// The state to run a call on `self` in, once the calling interpreter's is current: that one
// when it made `self`'s class, else the main interpreter's when that did (an object shared
// with a legacy subinterpreter); otherwise nullptr with TypeError set.
ModuleState* owner_state(PyObject* self, TypeSlot slot) noexcept;

// The slow path of an entry point whose check failed: runs `again` (the entry point itself)
// inside a scope that makes its check pass. Out of line and not inlined, so the entry point's
// own code carries nothing for it but the call.
template <class... A>
[[gnu::noinline]] PyObject* enter_and_call(PyObject* (*again)(A...), PyObject* self, TypeSlot slot,
                                           A... args) noexcept {
    StateScope scope;
    if (!scope) return nullptr;
    if (slot == kNoType || EntryCheck::owns(self, slot)) return again(args...);
    ModuleState* owner = owner_state(self, slot);
    if (!owner) return nullptr;
    StateScope inner(owner);
    return again(args...);
}

inline PyTypeObject* class_type(ClassId id) noexcept { return state().classes[static_cast<int>(id)]; }

// The exec slot's side: the calling interpreter's state, found or built, counted for `module`
// (whose own state holds the pointer). nullptr with an exception set on failure.
ModuleState* bind_state(PyObject* module, bool (*build)(ModuleState&));
// The module object's m_free: the last module object of a subinterpreter releases its state.
void unbind_state(PyObject* module) noexcept;

}  // namespace qsc::py
