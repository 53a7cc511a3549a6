// Holders that delete an object or array at scope exit.
#pragma once

// Owns a single object or an array until Release().
template <class T>
class OwningPtr {
public:
    OwningPtr(T* p, bool isArray) : ptr_(p), owns_(true), isArray_(isArray) {}
    OwningPtr(const OwningPtr&) = delete;
    OwningPtr& operator=(const OwningPtr&) = delete;
    ~OwningPtr() {
        if (ptr_ && owns_) {
            if (isArray_)
                delete[] ptr_;
            else
                delete ptr_;
        }
        ptr_ = nullptr;
    }

    T* get() const { return ptr_; }
    // The pointer stays readable; the holder no longer deletes it.
    T* Release() {
        owns_ = false;
        return ptr_;
    }
    bool IsArray() const { return isArray_; }

private:
    T* ptr_;
    bool owns_;
    bool isArray_;
};

// Deletes whatever the watched pointer variable points to at scope exit, unless dismissed.
template <class T>
class DeleteGuard {
public:
    explicit DeleteGuard(T** target) : target_(target), dismissed_(false) {}
    DeleteGuard(const DeleteGuard&) = delete;
    DeleteGuard& operator=(const DeleteGuard&) = delete;
    ~DeleteGuard() {
        if (!dismissed_ && *target_) delete *target_;
    }
    void Dismiss() { dismissed_ = true; }

private:
    T** target_;
    bool dismissed_;
};
