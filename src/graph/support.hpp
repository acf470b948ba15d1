// Small vocabulary shared by the whole core: node ids, the result type used
// for error values, internal failures, and the streaming hasher.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace veltrix {

using NodeId = std::uint64_t;

// A broken invariant inside the core. Never an input error: those are
// returned as values. The binding layer turns this into PanicException.
class InternalFailure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void panic(const std::string& message) { throw InternalFailure(message); }

// How many elements ahead a streaming loop asks for the memory that an
// element will touch at random: far enough ahead that the load has landed
// when the element comes, near enough that it is still cached then.
inline constexpr std::size_t kPrefetchAhead = 8;

// An index at or past the end of something of length `len`: a broken
// invariant of the caller.
[[noreturn]] inline void index_out_of_bounds(std::uint64_t len, std::uint64_t index) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " + std::to_string(index));
}

// Checked indexing for places where an out-of-range index means the caller
// broke an invariant.
template <class Container>
decltype(auto) at_checked(Container& c, std::uint64_t i) {
    if (i >= c.size()) index_out_of_bounds(c.size(), i);
    return c[static_cast<std::size_t>(i)];
}

// How a thread waits for a PoisonLock that another thread holds. The core
// just blocks; an embedding installs its own waiter (the Python binding lets
// the thread step aside from the interpreter while it waits). The waiter
// calls `wait(lock)`, which returns once the lock looks free; the lock is
// then tried again after the waiter returns, never inside it.
using LockWaiter = void (*)(void (*wait)(const void* lock), const void* lock);
void set_lock_waiter(LockWaiter waiter) noexcept;

// The use of an object whose lock a thread of the parent process held while
// changing the object when the process forked: that thread does not exist
// in the child, so the change is half done and never finishes. Every later
// use of the object in the child fails with this.
class ForkedWhileBusy : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

namespace detail {
// Bumped in the child of every fork, before fork() returns there.
extern std::atomic<std::uint32_t> fork_generation;
}  // namespace detail

// A non-re-entrant lock that is poisoned when an internal failure escapes the
// work done under it. Every later use then fails with the lock's message.
// Allocation failures do not poison: guarded work leaves its state as it
// was when an allocation fails.
//
// Threads and the interpreter. A thread takes one of these locks without
// waiting, or spins briefly, or waits for it detached from the interpreter:
// the installed waiter detaches, waits until the lock is free and attaches
// again, and only then is the lock tried. So no thread ever waits for one
// of our locks while it holds the interpreter (the GIL, or a stop-the-world
// pause's attention) for longer than a few dozen spins, and no thread
// ever waits for the interpreter while it holds one of our locks. Work under
// the lock never calls into Python.
//
// Fork. The lock records the process generation (bumped in every child of
// a fork) in which it was taken. A child that finds the lock held by a
// thread of its parent knows that thread is gone: if the holder had declared
// that it only reads from then on (run_reading, or reading() inside run),
// the object is as it was and the child takes the lock over; otherwise the
// lock stays failed with ForkedWhileBusy and the busy message.
class PoisonLock {
public:
    PoisonLock(const char* poisoned_message, const char* busy_message) noexcept
        : message_(poisoned_message), busy_message_(busy_message) {}
    PoisonLock(const PoisonLock&) = delete;
    PoisonLock& operator=(const PoisonLock&) = delete;

    template <class F>
    decltype(auto) run(F&& work) const {
        return hold(0, work);
    }
    // The same for work that only reads the guarded state.
    template <class F>
    decltype(auto) run_reading(F&& work) const {
        return hold(kReading, work);
    }
    // Inside run: the work only reads from here on.
    void reading() const noexcept { word_.fetch_or(kReading, std::memory_order_relaxed); }
    // For work that reads without taking the lock: fails as run would on a
    // poisoned lock.
    void check() const {
        if (word_.load(std::memory_order_relaxed) & kPoisoned) panic(message_);
    }

private:
    static constexpr std::uint32_t kHeld = 1, kWaiters = 2, kReading = 4, kPoisoned = 8, kBusy = 16;
    static constexpr unsigned kGenerationShift = 8;  // the rest: the generation the holder took it in

    template <class F>
    decltype(auto) hold(std::uint32_t mode, F& work) const {
        std::uint32_t w = word_.load(std::memory_order_relaxed);
        if ((w & (kHeld | kPoisoned | kBusy)) != 0 ||
            !word_.compare_exchange_weak(w, held_word(w, mode), std::memory_order_acquire, std::memory_order_relaxed)) {
            acquire_slow(mode);
        }
        struct Release {
            const PoisonLock& lock;
            ~Release() { lock.release(); }
        } release{*this};
        try {
            return work();
        } catch (const std::bad_alloc&) {
            throw;
        } catch (...) {
            word_.fetch_or(kPoisoned, std::memory_order_relaxed);
            throw;
        }
    }
    static std::uint32_t held_word(std::uint32_t w, std::uint32_t mode) noexcept {
        return (w & kWaiters) | kHeld | mode | (process_generation() << kGenerationShift);
    }
    // A lock taken in another generation was taken by a thread of an ancestor.
    static std::uint32_t process_generation() noexcept {
        return detail::fork_generation.load(std::memory_order_relaxed) & (~std::uint32_t{0} >> kGenerationShift);
    }
    void acquire_slow(std::uint32_t mode) const;
    void release() const noexcept {
        if (word_.fetch_and(~(kHeld | kReading | kWaiters), std::memory_order_release) & kWaiters) wake_all();
    }
    void wake_all() const noexcept;
    static void wait_until_free(const void* lock) noexcept;
    // Held by a thread of the process this one was forked from.
    static bool orphaned(std::uint32_t w) noexcept {
        return (w & kHeld) != 0 && (w >> kGenerationShift) != process_generation();
    }

    mutable std::atomic<std::uint32_t> word_{0};
    const char* message_;
    const char* busy_message_;
};

// Minimal std::expected stand-in (the toolchain is C++20).
template <class T, class E>
class Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T* operator->() { return &std::get<0>(v_); }
    T& operator*() & { return std::get<0>(v_); }

    const E& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

// Final avalanche of a 64-bit hash (every input bit affects every output bit).
constexpr std::uint64_t mix64(std::uint64_t h) noexcept {
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
}

// Streaming 64-bit hasher. The seed is per process (not observable: hashes
// serve lookups only and are never stored or shown).
class Hasher {
public:
    Hasher() noexcept : h_(process_seed()) {}

    void u8(std::uint8_t v) noexcept { mix(v | 0x100u); }
    void u64(std::uint64_t v) noexcept { mix(v); }
    void bytes(std::string_view s) noexcept {
        const char* p = s.data();
        std::size_t n = s.size();
        while (n >= 8) {
            std::uint64_t w;
            std::memcpy(&w, p, 8);
            mix(w);
            p += 8;
            n -= 8;
        }
        std::uint64_t tail = 0;  // little-endian, without a call to memcpy
        for (std::size_t i = 0; i < n; ++i) tail |= std::uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
        mix(tail ^ (static_cast<std::uint64_t>(n) << 56));
    }
    std::uint64_t finish() const noexcept {
        std::uint64_t x = h_;
        x ^= x >> 32;
        x *= 0xd6e8feb86659fd93ULL;
        x ^= x >> 32;
        return x;
    }

    static std::uint64_t process_seed() noexcept;

private:
    void mix(std::uint64_t v) noexcept {
        // 64x64->128 multiply folding (wyhash-style).
        unsigned __int128 m = static_cast<unsigned __int128>(h_ ^ v) * 0x9e3779b97f4a7c15ULL;
        h_ = static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
    }
    std::uint64_t h_;
};

// Allocator for the core's big arrays (the store's, the e-graph's, the
// pipeline's graphs): blocks of kLargeBlock bytes and more are mapped on
// their own and asked to be backed by huge pages, so that fresh memory
// faults in a few times faster and random accesses miss the TLB less.
// Smaller blocks come from operator new. Defined in store.cpp.
inline constexpr std::size_t kLargeBlock = std::size_t{2} << 20;
// Small: a block filled a little at a time by calls that must not stall,
// and read rarely. Some virtual machines take milliseconds to fault in a
// fresh huge page, which the call that first touches it pays whole.
enum class Pages : bool { Small, Huge };
void* allocate_large(std::size_t bytes, Pages pages = Pages::Huge);
void free_large(void* p, std::size_t bytes) noexcept;

// While one is open on a thread, the large blocks that thread frees are
// kept and handed to its next large requests, and closing the outermost
// scope frees what is left. A block that goes back to the kernel comes back
// zeroed page by page on its next use, which for a pass that drops one big
// structure just before building another costs more than the building.
class LargeBlockReuse {
public:
    LargeBlockReuse() noexcept;
    ~LargeBlockReuse();
    LargeBlockReuse(const LargeBlockReuse&) = delete;
    LargeBlockReuse& operator=(const LargeBlockReuse&) = delete;
};

template <class T>
struct LargeAllocator {
    using value_type = T;
    LargeAllocator() noexcept = default;
    template <class U>
    LargeAllocator(const LargeAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(allocate_large(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { free_large(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const LargeAllocator<U>&) const noexcept {
        return true;
    }
};

// Hints that `v` is about to grow at its end: requests, for writing, the
// line `ahead` elements past the end, when that is still inside the
// capacity. Appending into fresh lines otherwise waits for each of them.
template <class Vector>
inline void prefetch_append(const Vector& v, std::size_t ahead) noexcept {
    if (v.size() + ahead < v.capacity()) __builtin_prefetch(v.data() + v.size() + ahead, 1);
}

// The lowest `bits` bits of a 32-bit word (all of them from 32 on): the part
// of a packed hash-table slot that holds an index.
inline constexpr std::uint32_t low_bits32(unsigned bits) noexcept {
    return bits >= 32 ? 0xffffffffu : (std::uint32_t{1} << bits) - 1;
}

// A vector that may grow big, such as the core's arrays of one entry per node.
template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Gives a vector's block back now when it is mapped on its own: inside a
// LargeBlockReuse scope it then serves the scope's next large request.
// (Assigning {} would only empty the vector.) A smaller block came from
// malloc and stays until the vector goes: freeing it early can make malloc
// trim its heap, whose pages the next requests then fault in again.
template <class T>
inline void release_early(LargeVector<T>& v) noexcept {
    if (v.capacity() * sizeof(T) >= kLargeBlock) LargeVector<T>().swap(v);
}

}  // namespace veltrix
