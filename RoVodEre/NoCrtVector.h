// Vector of separately allocated objects that it owns; only their addresses are stored
// (in a datavect), so elements never move. Failures are recorded in af_, never thrown by
// the vector itself.
#pragma once

#include <cstdint>

#include "RoVodEre/datavect.h"

template <class T>
class NoCrtVector : public AllocFailState {
public:
    datavect<T*> ptrs_;

    class const_iterator {
    public:
        const_iterator(const datavect<T*>* store, std::uint32_t index) : store_(store), index_(index) {}
        bool operator==(const const_iterator& o) const { return store_ == o.store_ && index_ == o.index_; }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }
        const_iterator& operator++() {
            ++index_;
            return *this;
        }
        std::int64_t operator-(const const_iterator& o) const { return std::int64_t(index_) - std::int64_t(o.index_); }
        const T& operator*() const {
            NOCRT_CHECK(store_, "ptrs_", 65);
            return *(*store_)[index_];
        }
        const T* operator->() const { return &**this; }

    private:
        friend class NoCrtVector;
        const datavect<T*>* store_;
        std::uint32_t index_;
    };

    NoCrtVector() {}
    NoCrtVector(const NoCrtVector& src) : AllocFailState() { *this = src; }
    ~NoCrtVector() {
        DeleteElements(0);
    }

    NoCrtVector& operator=(const NoCrtVector& src) {
        if (&src == this || af_) return *this;
        if (src.af_) {
            af_ = src.af_;
            return *this;
        }
        assign(src.begin(), src.end());
        return *this;
    }

    // Elements held before are deleted first.
    int assign(const_iterator first, const_iterator last) {
        NOCRT_CHECK(!af_, "!af_", 170);
        if (first.store_ == &ptrs_) {
            // Copying from this very vector: take the copies before dropping the originals.
            NoCrtVector copy;
            if (int failed = copy.assign(first, last)) return af_ = failed;
            return assign(copy.begin(), copy.end());
        }
        std::int64_t count = last - first;
        if (count < 0) count = 0;
        DeleteElements(0);
        ptrs_.s_ = 0;
        if (ptrs_.reserve(std::uint64_t(count))) return af_ = ptrs_.af_;
        for (; first != last; ++first) {
            if (int failed = AppendCopyOf(&*first)) {
                ptrs_.resize(std::uint64_t(count), nullptr);  // the unfilled slots stay null
                return failed;
            }
        }
        return 0;
    }

    int push_back(const T& value) {
        NOCRT_CHECK(!af_, "!af_", 197);
        // Geometric growth: error lists can take tens of thousands of texts one by one.
        if (ptrs_.reserve_more(1)) return af_ = ptrs_.af_;
        return AppendCopyOf(&value);
    }

    int resize(std::uint32_t n) {
        NOCRT_CHECK(!af_, "!af_", 130);
        std::uint32_t current = ptrs_.size();
        if (n == current) return 0;
        if (n < current) {
            for (std::uint32_t i = current; i-- > n;) {
                delete ptrs_.p_[i];
                ptrs_.p_[i] = nullptr;
            }
            ptrs_.resize(n, nullptr);
            return af_ = ptrs_.af_;
        }
        if (ptrs_.reserve(n)) return af_ = ptrs_.af_;
        while (ptrs_.s_ < n) {
            if (int failed = AppendCopyOf(nullptr)) {
                ptrs_.resize(n, nullptr);
                return failed;
            }
        }
        return 0;
    }

    const T& operator[](std::uint32_t i) const {
        NOCRT_CHECK(!af_, "!af_", 275);
        return *ptrs_.at(i);
    }
    T& operator[](std::uint32_t i) {
        NOCRT_CHECK(!af_, "!af_", 276);
        return *ptrs_.at(i);
    }
    std::uint32_t size() const { return ptrs_.size(); }

    const_iterator begin() const {
        NOCRT_CHECK(!af_, "!af_", 263);
        return const_iterator(&ptrs_, 0);
    }
    const_iterator end() const { return const_iterator(&ptrs_, ptrs_.size()); }

private:
    // Puts a new element (a copy of *source, or a default one for null) into a slot that
    // the store has already reserved. A constructor that throws leaves the vector as it
    // was; a null allocation leaves a null slot and marks the vector.
    int AppendCopyOf(const T* source) {
        T* element = source ? nocrt::NewObject<T>(*source) : nocrt::NewObject<T>();
        ptrs_.p_[ptrs_.s_++] = element;
        if (!element) return af_ = nocrt::FailureMark(1, sizeof(T));
        return 0;
    }

    // Deletes the elements of slots from..end, first to last, leaving the slots null.
    void DeleteElements(std::uint32_t from) {
        for (std::uint32_t i = from; i < ptrs_.s_; ++i) {
            delete ptrs_.p_[i];
            ptrs_.p_[i] = nullptr;
        }
    }
};
