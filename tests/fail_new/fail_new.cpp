// Preloaded into a test's interpreter: operator new that fails on request, to drive the native
// code through every allocation failure. Nothing fails until varnel_fail_after(n) arms it; the
// n-th allocation after that (counting from 0) then fails, and so does every later one until
// varnel_fail_after(-1) disarms it.
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<long> remaining{-1};  // allocations left before failing; -1: disarmed
std::atomic<bool> failed{false};

bool should_fail() {
    long left = remaining.load();
    if (left < 0) return false;
    if (left == 0) {
        failed = true;
        return true;
    }
    remaining = left - 1;
    return false;
}

void* allocate(std::size_t size) {
    if (should_fail()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

extern "C" void varnel_fail_after(long count) {
    failed = false;
    remaining = count;
}

extern "C" int varnel_failed() { return failed ? 1 : 0; }

void* operator new(std::size_t size) {
    void* memory = allocate(size);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
