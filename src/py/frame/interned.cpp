#include "py/frame/interned.hpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "py/frame/dict_shape.hpp"

namespace qsc::py::cache {

namespace {

struct Entry {
    std::string_view text;  // a string slot, or
    const DictShape* shape;  // a template slot
};

std::vector<Entry>& entries() {
    static std::vector<Entry> list;
    return list;
}

std::atomic<bool> sealed{false};

int add(Entry entry) noexcept {
    if (sealed.load(std::memory_order_relaxed)) {
        std::fputs("quarn_sdk_core: a cached object was declared after a module state was built\n", stderr);
        std::abort();
    }
    entries().push_back(entry);
    return static_cast<int>(entries().size() - 1);
}

}  // namespace

int add_string(std::string_view text) noexcept {
    // The same text shares one slot: interning would make it the same str anyway.
    const std::vector<Entry>& list = entries();
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!list[i].shape && list[i].text == text) return static_cast<int>(i);
    return add({text, nullptr});
}

int add_template(const DictShape* shape) noexcept { return add({{}, shape}); }

int slot_count() noexcept { return static_cast<int>(entries().size()); }

int seal() noexcept {
    sealed.store(true, std::memory_order_relaxed);
    return slot_count();
}

bool fill(ModuleState& state) noexcept {
    const std::vector<Entry>& list = entries();
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (list[i].shape) continue;
        PyObject* s = PyUnicode_FromStringAndSize(list[i].text.data(), static_cast<Py_ssize_t>(list[i].text.size()));
        if (!s) return false;
        PyUnicode_InternInPlace(&s);
        state.cached_slot(static_cast<int>(i)) = s;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (!list[i].shape) continue;
        PyObject* dict = list[i].shape->build(state);
        if (!dict) return false;
        state.cached_slot(static_cast<int>(i)) = dict;
    }
    return true;
}

}  // namespace qsc::py::cache
