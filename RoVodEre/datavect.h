// Growable array of plain values: elements are copied as bytes and never constructed or
// destroyed. Failed allocations are recorded in af_, never thrown by the vector itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <type_traits>

#include "RoVodEre/NoCrtCore.h"

// Destroys the contents of a buffer region the vector gives back (start, length in bytes).
typedef void (*WipeCallback)(void* p, std::uint32_t bytes);

template <class T>
class datavect : public AllocFailState {
    static_assert(std::is_trivially_copyable<T>::value, "datavect holds plain values only");

public:
    typedef T value_type;
    typedef std::uint32_t size_type;
    typedef T* iterator;
    typedef const T* const_iterator;
    // What byte sinks that append through insert() ask for.
    struct traits_type {
        typedef T char_type;
    };

    T* p_;
    std::uint32_t s_;
    std::uint32_t cap_;
    WipeCallback wipe_;

    datavect() : p_(nullptr), s_(0), cap_(0), wipe_(nullptr) {}
    datavect(const datavect& src) : AllocFailState(), p_(nullptr), s_(0), cap_(0), wipe_(nullptr) {
        *this = src;
    }
    explicit datavect(std::uint32_t n) : p_(nullptr), s_(0), cap_(0), wipe_(nullptr) { resize(n, T()); }
    ~datavect() { ReleaseBuffer(); }

    datavect& operator=(const datavect& src) {
        if (&src == this || af_) return *this;
        if (src.af_) {
            af_ = src.af_;
            return *this;
        }
        ReleaseBuffer();
        if (src.s_ == 0) return *this;
        T* fresh = static_cast<T*>(nocrt::AllocateBlock(src.s_, sizeof(T)));
        if (!fresh) {
            af_ = nocrt::FailureMark(src.s_, sizeof(T));
            return *this;
        }
        std::memcpy(static_cast<void*>(fresh), src.p_, std::size_t(src.s_) * sizeof(T));
        p_ = fresh;
        s_ = cap_ = src.s_;
        wipe_ = src.wipe_;
        return *this;
    }

    int reserve(std::uint64_t n) {
        NOCRT_CHECK(!af_, "!af_", 100);
        return Grow(n);
    }

    // Room for n elements beyond s_, growing as append does (to 2 × (cap_ + n)) when the
    // buffer is short: a vector filled a few elements at a time then copies each element
    // a constant number of times on average, not once per growth.
    int reserve_more(std::uint64_t n) {
        NOCRT_CHECK(!af_, "!af_", 100);
        if (std::uint64_t(s_) + n <= cap_) return 0;
        return Grow(2 * (std::uint64_t(cap_) + n));
    }

    int resize(std::uint64_t n, const T& fill = T()) {
        NOCRT_CHECK(!af_, "!af_", 121);
        return ResizeUnchecked(n, fill);
    }

    // Grows geometrically (to twice the capacity plus the new count) when it must grow.
    template <class It, typename = std::enable_if_t<!std::is_integral<It>::value>>
    void append(It first, It last) {
        NOCRT_CHECK(!af_, "!af_", 175);
        std::uint64_t n = static_cast<std::uint64_t>(last - first);
        if (n == 0) return;
        if (std::uint64_t(s_) + n > cap_) {
            std::size_t offset = 0;
            bool own = OwnsRange(first, offset);
            if (Grow(2 * (std::uint64_t(cap_) + n))) return;
            if (own) {
                // The source was this vector's old buffer, which the growth has moved.
                std::memmove(static_cast<void*>(p_ + s_), p_ + offset, std::size_t(n) * sizeof(T));
                s_ += static_cast<std::uint32_t>(n);
                return;
            }
        }
        CopyRange(p_ + s_, first, n);
        s_ += static_cast<std::uint32_t>(n);
    }

    void pop_back() {
        NOCRT_CHECK(!af_ && s_, "!af_ && s_", 189);
        --s_;
    }

    int push_back(const T& value) {
        NOCRT_CHECK(!af_, "!af_", 193);
        if (s_ == cap_) {
            T copy = value;  // value may live in the buffer that the growth frees
            if (Grow(2 * std::uint64_t(cap_) + 2)) return af_;
            p_[s_++] = copy;
            return 0;
        }
        p_[s_++] = value;
        return 0;
    }

    template <class It, typename = std::enable_if_t<!std::is_integral<It>::value>>
    T* insert(T* where, It first, It last) {
        NOCRT_CHECK(!af_, "!af_", 214);
        NOCRT_CHECK(!std::less<const T*>()(where, p_) && !std::less<const T*>()(p_ + s_, where),
                    "(where >= p_) && (where <= p_ + s_)", 215);
        auto count = last - first;
        NOCRT_CHECK(count >= 0, "count >= 0", 218);
        std::size_t offset = where - p_;
        if (count == 0) return p_ + offset;
        std::size_t sourceOffset = 0;
        bool own = OwnsRange(first, sourceOffset);
        std::uint32_t oldSize = s_;
        if (ResizeUnchecked(std::uint64_t(s_) + std::uint64_t(count), T())) return nullptr;
        std::size_t n = static_cast<std::size_t>(count);
        std::memmove(static_cast<void*>(p_ + offset + n), p_ + offset, (oldSize - offset) * sizeof(T));
        if (own) {
            // Copy from this vector: the part of the source at or after the gap moved up.
            for (std::size_t k = 0; k < n; ++k) {
                std::size_t from = sourceOffset + k;
                p_[offset + k] = p_[from < offset ? from : from + n];
            }
        } else {
            CopyRange(p_ + offset, first, n);
        }
        return p_ + offset;
    }

    T* insert(T* where, std::uint32_t n, const T& value) {
        return insert(where, CountingIterator(&value, 0), CountingIterator(&value, n));
    }

    T* insert(T* where, const T& value) { return insert(where, 1u, value); }

    T* erase(T* p1, T* p2) {
        NOCRT_CHECK(!af_, "!af_", 254);
        NOCRT_CHECK(!std::less<const T*>()(p1, p_) && !std::less<const T*>()(p_ + s_, p1),
                    "(p1 >= p_) && (p1 <= p_ + s_)", 255);
        NOCRT_CHECK(!std::less<const T*>()(p2, p1) && !std::less<const T*>()(p_ + s_, p2),
                    "(p2 >= p1) && (p2 <= p_ + s_)", 256);
        if (p1 == p2) return p1;
        std::uint32_t count = static_cast<std::uint32_t>(p2 - p1);
        std::memmove(static_cast<void*>(p1), p2, std::size_t((p_ + s_) - p2) * sizeof(T));
        s_ -= count;
        if (wipe_) wipe_(p_ + s_, static_cast<std::uint32_t>(count * sizeof(T)));
        return p1;
    }

    T* erase(T* where) { return erase(where, where + 1); }

    // A count with all bits set means: up to the end.
    datavect& erase(std::uint32_t pos, std::uint32_t count) {
        NOCRT_CHECK(!af_, "!af_", 274);
        NOCRT_CHECK(pos <= s_, "pos <= s_", 275);
        if (count == 0xFFFFFFFFu) count = s_ - pos;
        NOCRT_CHECK(count <= s_ - pos, "pos + count <= s_", 278);
        erase(p_ + pos, p_ + pos + count);
        return *this;
    }

    // Overwrites the whole buffer (callback, else zero bytes), then resizes.
    int wipe_and_resize(std::uint64_t n) {
        NOCRT_CHECK(!af_, "!af_", 121);
        if (p_ && cap_) {
            if (wipe_)
                wipe_(p_, ByteCount(cap_));
            else
                std::memset(static_cast<void*>(p_), 0, std::size_t(cap_) * sizeof(T));
        }
        return ResizeUnchecked(n, T());
    }

    T* data() {
        NOCRT_CHECK(!af_, "!af_", 284);
        return p_;
    }
    const T* data() const {
        NOCRT_CHECK(!af_, "!af_", 286);
        return p_;
    }
    T* begin() {
        NOCRT_CHECK(!af_, "!af_", 287);
        return p_;
    }
    const T* begin() const {
        NOCRT_CHECK(!af_, "!af_", 287);
        return p_;
    }
    T* end() {
        NOCRT_CHECK(!af_, "!af_", 290);
        return p_ + s_;
    }
    const T* end() const {
        NOCRT_CHECK(!af_, "!af_", 290);
        return p_ + s_;
    }
    std::uint32_t size() const {
        NOCRT_CHECK(!af_, "!af_", 292);
        return s_;
    }
    bool empty() const {
        NOCRT_CHECK(!af_, "!af_", 293);
        return s_ == 0;
    }
    std::uint32_t capacity() const {
        NOCRT_CHECK(!af_, "!af_", 295);
        return cap_;
    }
    const T& operator[](std::uint32_t i) const {
        NOCRT_CHECK(!af_ && i < s_, "!af_ && i<s_", 297);
        return p_[i];
    }
    T& operator[](std::uint32_t i) {
        NOCRT_CHECK(!af_ && i < s_, "!af_ && i<s_", 298);
        return p_[i];
    }
    const T& at(std::uint32_t i) const {
        NOCRT_CHECK(!af_ && i < s_, "!af_ && i<s_", 300);
        return p_[i];
    }
    T& at(std::uint32_t i) {
        NOCRT_CHECK(!af_ && i < s_, "!af_ && i<s_", 301);
        return p_[i];
    }
    // On an empty vector the index wraps and the accessor's check fails.
    T& back() { return (*this)[s_ - 1]; }

private:
    // Yields one value a given number of times.
    struct CountingIterator {
        const T* value;
        std::uint32_t pos;
        CountingIterator(const T* v, std::uint32_t p) : value(v), pos(p) {}
        const T& operator*() const { return *value; }
        CountingIterator& operator++() {
            ++pos;
            return *this;
        }
        std::int64_t operator-(const CountingIterator& other) const {
            return std::int64_t(pos) - std::int64_t(other.pos);
        }
    };

    static std::uint32_t ByteCount(std::uint32_t count) {
        return static_cast<std::uint32_t>(std::uint64_t(count) * sizeof(T));
    }

    // Is `first` a pointer into this vector's elements? Then offset receives its index.
    template <class It>
    bool OwnsRange(const It& first, std::size_t& offset) const {
        if constexpr (std::is_pointer<It>::value &&
                      std::is_same<typename std::remove_cv<typename std::remove_pointer<It>::type>::type, T>::value) {
            const T* q = first;
            if (p_ && !std::less<const T*>()(q, p_) && std::less<const T*>()(q, p_ + cap_)) {
                offset = static_cast<std::size_t>(q - p_);
                return true;
            }
        }
        (void)first;
        (void)offset;
        return false;
    }

    template <class It>
    static void CopyRange(T* to, It first, std::size_t n) {
        if constexpr (std::is_pointer<It>::value) {
            std::memmove(static_cast<void*>(to), static_cast<const void*>(first), n * sizeof(T));
        } else {
            for (std::size_t k = 0; k < n; ++k, ++first) to[k] = *first;
        }
    }

    // Wipes (when a callback is set) and frees the buffer; the vector is left empty.
    void ReleaseBuffer() {
        if (p_ && cap_ && wipe_) wipe_(p_, ByteCount(cap_));
        if (p_) nocrt::FreeBlock(p_);
        p_ = nullptr;
        s_ = cap_ = 0;
    }

    // Capacity of exactly n when n is larger; never shrinks. A count beyond the 32-bit
    // element count or the allocation limit is a failed allocation.
    int Grow(std::uint64_t n) {
        if (n <= cap_) return 0;
        T* fresh = static_cast<T*>(nocrt::AllocateBlock(n, sizeof(T)));
        if (!fresh) {
            af_ = nocrt::FailureMark(n, sizeof(T));
            return af_;
        }
        if (s_) std::memcpy(static_cast<void*>(fresh), p_, std::size_t(s_) * sizeof(T));
        std::uint32_t size = s_;
        ReleaseBuffer();
        p_ = fresh;
        s_ = size;
        cap_ = static_cast<std::uint32_t>(n);
        return 0;
    }

    int ResizeUnchecked(std::uint64_t n, const T& fill) {
        if (n > cap_) {
            T copy = fill;  // fill may live in the buffer that the growth frees
            if (Grow(n)) return af_;
            for (std::uint32_t i = s_; i < n; ++i) p_[i] = copy;
        } else {
            for (std::uint32_t i = s_; i < n; ++i) p_[i] = fill;
        }
        s_ = static_cast<std::uint32_t>(n);
        return 0;
    }
};
