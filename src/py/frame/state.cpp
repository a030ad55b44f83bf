#include "py/frame/state.hpp"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "py/frame/interned.hpp"

namespace qsc::py {

namespace state_detail {

constinit ModuleState no_state{};
constinit thread_local ModuleState* current = &no_state;
std::atomic<ModuleState*> main_state{&no_state};

}  // namespace state_detail

namespace {

// Every interpreter's state, found by the interpreter's id: ids are never reused, where a freed
// interpreter's address may be. Touched only under the lock, which is never held across a call
// into the interpreter (with a shared GIL, that could deadlock against a thread waiting for it).
std::mutex registry_lock;
// Leaked on purpose: a thread may still resolve a state while statics are destroyed at exit.
std::vector<ModuleState*>& registry() {
    static auto* states = new std::vector<ModuleState*>();
    return *states;
}
// Bumped whenever a state leaves the registry, so that a thread's cached lookup is never stale.
std::atomic<std::uint64_t> generation{0};

// The last lookup of this thread outside the main interpreter: a thread that runs one
// subinterpreter takes the lock once, not on every call.
struct LastLookup {
    std::int64_t id = -1;
    std::uint64_t generation = 0;
    ModuleState* state = nullptr;
};
[[gnu::tls_model("initial-exec")]] constinit thread_local LastLookup last_lookup;

ModuleState* find(std::int64_t id) {
    for (ModuleState* s : registry())
        if (s->interpreter_id == id) return s;
    return nullptr;
}

// Drops every reference the state holds, then the state. Runs in its interpreter, which holds
// its GIL.
void release(ModuleState* s) noexcept {
    const int slots = cache::slot_count();
    for (int i = 0; i < slots; ++i) Py_CLEAR(s->cached_slot(i));
    for (auto& row : s->variants)
        for (PyObject*& variant : row) Py_CLEAR(variant);
    for (PyTypeObject*& type : s->classes) Py_CLEAR(type);
    for (PyTypeObject*& type : s->enums) Py_CLEAR(type);
    Py_CLEAR(s->panic_type);
    Py_CLEAR(s->abc_sequence);
    Py_CLEAR(s->abc_mapping);
    Py_CLEAR(s->dataclass_fields);
    s->~ModuleState();
    ::operator delete(s);
}

struct Release {
    void operator()(ModuleState* s) const noexcept { release(s); }
};
using Owned = std::unique_ptr<ModuleState, Release>;

// A new state for the calling interpreter, its cache filled and `build` run with it current.
Owned create(PyInterpreterState* interpreter, std::int64_t id, bool (*build)(ModuleState&)) {
    const int slots = cache::seal();
    void* memory = ::operator new(sizeof(ModuleState) + static_cast<std::size_t>(slots) * sizeof(PyObject*));
    Owned s(new (memory) ModuleState);
    for (int i = 0; i < slots; ++i) s->cached_slot(i) = nullptr;
    s->interpreter = interpreter;
    s->interpreter_id = id;
    StateScope scope(s.get());
    if (!cache::fill(*s) || !build(*s)) return {};
    return s;
}

}  // namespace

namespace state_detail {

namespace {

// The calling interpreter's state: the main one, or another one counted as in use.
ModuleState* resolve(ModuleState*& counted) noexcept {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    ModuleState* main = main_state.load(std::memory_order_acquire);
    if (interpreter == main->interpreter) return main;
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    ModuleState* s;
    LastLookup& last = last_lookup;
    if (last.id == id && last.generation == generation.load(std::memory_order_acquire)) {
        s = last.state;
    } else {
        std::lock_guard lock(registry_lock);
        s = find(id);
        if (s) last = {id, generation.load(std::memory_order_relaxed), s};
    }
    if (!s) {
        PyErr_SetString(PyExc_RuntimeError,
                        "quarn_sdk_core is not loaded in this interpreter: its module objects are gone");
        return nullptr;
    }
    ++s->active;
    return counted = s;
}

}  // namespace

Entered enter(ModuleState* known) noexcept {
    Entered entered{current, nullptr};
    ModuleState* s = known ? known : resolve(entered.counted);
    current = s ? s : &no_state;
    return entered;
}

void leave(Entered entered) noexcept {
    ModuleState* const was = current;
    if constexpr (kCheckScopes) {
        current = entered.previous;
    } else {
        // Outside the scopes only the main state may stay current: it is never released.
        const bool outermost = entered.previous == &no_state;
        current = outermost && was == main_state.load(std::memory_order_relaxed) ? was : entered.previous;
    }
    if (ModuleState* s = entered.counted) {
        if (--s->active == 0 && s->orphaned) release(s);
    }
}

void no_scope() noexcept {
    std::fputs("quarn_sdk_core: module state read outside a StateScope (an entry point without one)\n", stderr);
    std::abort();
}

}  // namespace state_detail

ModuleState* owner_state(PyObject* self, TypeSlot slot) noexcept {
    if (EntryCheck::owns(self, slot)) return &state();
    ModuleState* main = state_detail::main_state.load(std::memory_order_acquire);
    if (Py_TYPE(self) == type_at(*main, slot)) return main;
    PyErr_Format(PyExc_TypeError, "this '%s' object belongs to another interpreter", Py_TYPE(self)->tp_name);
    return nullptr;
}

ModuleState* bind_state(PyObject* module, bool (*build)(ModuleState&)) {
    auto** slot = static_cast<ModuleState**>(PyModule_GetState(module));
    if (!slot) return nullptr;
    if (*slot) return *slot;  // the same module object run again
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) return nullptr;
    {
        std::lock_guard lock(registry_lock);
        if (ModuleState* s = find(id)) {
            ++s->modules;
            return *slot = s;
        }
    }
    Owned fresh = create(interpreter, id, build);
    if (!fresh) return nullptr;
    Owned spare;  // released outside the lock
    ModuleState* s;
    {
        std::lock_guard lock(registry_lock);
        // Building ran Python code (the collector, finalisers): it may have imported the module
        // into this interpreter meanwhile. The first state made stays.
        s = find(id);
        if (s) {
            spare = std::move(fresh);
        } else {
            registry().push_back(fresh.get());
            s = fresh.release();
            if (interpreter == PyInterpreterState_Main())
                state_detail::main_state.store(s, std::memory_order_release);
        }
        ++s->modules;
    }
    return *slot = s;
}

void unbind_state(PyObject* module) noexcept {
    auto** slot = static_cast<ModuleState**>(PyModule_GetState(module));
    if (!slot || !*slot) return;
    ModuleState* s = std::exchange(*slot, nullptr);
    {
        std::lock_guard lock(registry_lock);
        // The main interpreter's state stays to process exit: finalisers run at shutdown may
        // still call the module.
        if (--s->modules > 0 || s == state_detail::main_state.load(std::memory_order_relaxed)) return;
        std::erase(registry(), s);
        generation.fetch_add(1, std::memory_order_release);
    }
    if (s->active > 0) s->orphaned = true;
    else release(s);
}

}  // namespace qsc::py
