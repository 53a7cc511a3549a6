// The roots of the container library: the allocation-failure mark, the polymorphic root,
// the check handler and the one place where the containers ask for memory.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

// 0, or the byte count of an allocation that failed. Owners read and write af_ directly;
// once set it stays set unless the owner itself clears it.
struct AllocFailState {
    int af_;
    AllocFailState() : af_(0) {}
};

// Lets owners delete an object through a base pointer.
class ObjectBase {
public:
    ObjectBase() {}
    virtual ~ObjectBase() {}
};

// Reports a failed check (the message on standard error, then a message box titled
// "Assertion failed") and ends the calling thread with exit code 0x8805. Never returns.
[[noreturn]] void NoCrtAssertFailed(const char* text, const char* file, unsigned line);

// Test seam: replaces what shows the assertion message (default: standard error and the
// message box). The thread still ends afterwards. Returns the previous reporter.
typedef void (*AssertionReporter)(const char* message);
AssertionReporter SetAssertionReporter(AssertionReporter reporter);

// Exit code of a thread ended by a failed check.
const unsigned long kAssertionExitCode = 0x8805;

// A check reports a fixed line number rather than __LINE__: messages users send in quote
// it, so it must not move when the file is edited.
#define NOCRT_CHECK(condition, text, line)                      \
    do {                                                        \
        if (!(condition)) NoCrtAssertFailed(text, __FILE__, line); \
    } while (0)

namespace nocrt {

// The largest block the containers ever ask for. It keeps every byte count representable
// in an af_ mark and in the 32-bit length that the wipe callback receives, on both targets.
const std::uint64_t kMaxAllocationBytes = INT_MAX;

// The af_ value for a failed request of `count` objects of `size` bytes: the byte count,
// saturated for requests that do not fit.
inline int FailureMark(std::uint64_t count, std::size_t size) {
    if (count == 0 || size == 0 || count > kMaxAllocationBytes / size) return INT_MAX;
    return static_cast<int>(count * size);
}

// Memory for `count` objects of `size` bytes, or null. With a new-handler installed, a
// failure goes to the handler as it would for `new` (the program's handler throws
// std::bad_alloc); without one the caller sees null. A count whose byte size does not fit
// counts as a failed allocation, never as a smaller one.
void* AllocateBlock(std::uint64_t count, std::size_t size);

inline void FreeBlock(void* p) { ::operator delete(p); }

// Blocks of up to kLargestSmallBlock bytes, for the objects that a program holds by the
// hundred thousand (list nodes, rule records): they are cut from 64 KiB pages that each
// serve one block size, so a block costs its own bytes and no heap header, blocks made one
// after the other lie side by side, and the pages go back to the system together when the
// last block cut from any of them is freed. A size above the limit goes to AllocateBlock and FreeBlock. Failures are
// reported as AllocateBlock reports them. Safe to call from any thread.
const std::size_t kLargestSmallBlock = 128;
void* AllocateSmallBlock(std::size_t size);
// size: the size that the block was asked for with.
void FreeSmallBlock(void* block, std::size_t size);

}  // namespace nocrt

// A class whose objects `new` takes from the small-block pages (larger derived classes
// fall back to the heap). Deleting through a base pointer needs a virtual destructor, as
// always: the size the pages go by is the object's own.
class SmallBlockObject {
public:
    static void* operator new(std::size_t size)
    {
        void* block = nocrt::AllocateSmallBlock(size);
        if (!block)
            throw std::bad_alloc();
        return block;
    }
    static void operator delete(void* block, std::size_t size) noexcept { nocrt::FreeSmallBlock(block, size); }
};

namespace nocrt {

// Whether `new T` takes its memory from the small-block pages.
template <class T>
struct UsesSmallBlocks : std::is_base_of<SmallBlockObject, T> {
};

// A new T from the given constructor arguments, or null when memory is not available. A
// constructor that throws gives its memory back before the exception leaves. The object
// is destroyed with plain `delete`.
template <class T, class... Args>
T* NewObject(Args&&... args) {
    void* raw = UsesSmallBlocks<T>::value ? AllocateSmallBlock(sizeof(T)) : AllocateBlock(1, sizeof(T));
    if (!raw) return nullptr;
    try {
        return ::new (raw) T(static_cast<Args&&>(args)...);
    } catch (...) {
        if (UsesSmallBlocks<T>::value)
            FreeSmallBlock(raw, sizeof(T));
        else
            FreeBlock(raw);
        throw;
    }
}

}  // namespace nocrt
