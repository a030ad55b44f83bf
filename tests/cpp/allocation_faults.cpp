// Test builds only (CMake option QSC_FAULT_HOOKS): the global allocation functions, replaced so
// that a test can make every C++ allocation from a chosen one on fail, as the interpreter's
// allocators can be made to fail. tests/test_faults.py drives it through ctypes.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#define QSC_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

std::atomic<long long> allowed{-1};  // allocations left before failing; negative: never fail

bool may_allocate() noexcept {
    long long left = allowed.load(std::memory_order_relaxed);
    while (left > 0 && !allowed.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) {
    }
    return left != 0;
}

void* allocate(std::size_t size) noexcept { return may_allocate() ? std::malloc(size ? size : 1) : nullptr; }

void* allocate(std::size_t size, std::align_val_t align) noexcept {
    if (!may_allocate()) return nullptr;
    const auto a = static_cast<std::size_t>(align);
    return std::aligned_alloc(a, size ? (size + a - 1) / a * a : a);  // a multiple of the alignment
}

template <class... A>
void* allocate_or_throw(A... a) {
    if (void* p = allocate(a...)) return p;
    throw std::bad_alloc();
}

}  // namespace

// The first `n` allocations from now on succeed and every later one fails; a negative `n` stops
// the failures.
QSC_EXPORT void qsc_fail_allocations_after(long long n) { allowed.store(n, std::memory_order_relaxed); }

void* operator new(std::size_t size) { return allocate_or_throw(size); }
void* operator new[](std::size_t size) { return allocate_or_throw(size); }
void* operator new(std::size_t size, std::align_val_t align) { return allocate_or_throw(size, align); }
void* operator new[](std::size_t size, std::align_val_t align) { return allocate_or_throw(size, align); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate(size, align);
}
void* operator new[](std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    return allocate(size, align);
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
