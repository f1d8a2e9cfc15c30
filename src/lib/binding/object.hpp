// Python objects that hold one C++ value, owned references, and the
// borrow counter that guards every object against conflicting use.
#pragma once

#include "lib/binding/python.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace sekvo::binding {

// Layout of every object of the module: the object header, the class's
// fields (one C++ value) and the borrow counter. The counter is 0 when
// free, the number of shared uses while shared, all ones while exclusive.
template <class T>
struct Box {
    PyObject_HEAD
    T value;
    std::atomic<std::uint64_t> borrow;
};

inline constexpr std::uint64_t kExclusive = ~std::uint64_t{0};

template <class T>
Box<T>* box_of(PyObject* object) {
    return reinterpret_cast<Box<T>*>(object);
}

// New object of `type` holding `value` (moved in). NULL with MemoryError
// set when the allocation fails. C++ exceptions from T's constructor
// propagate after the half-built object is released.
template <class T>
PyObject* box_new(PyTypeObject* type, T&& value) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) return nullptr;
    Box<T>* box = box_of<T>(object);
    try {
        new (&box->value) T(std::move(value));
    } catch (...) {
        // tp_dealloc would destroy a value that was never built.
        PyTypeObject* tp = Py_TYPE(object);
        tp->tp_free(object);
        Py_DECREF(tp);
        throw;
    }
    new (&box->borrow) std::atomic<std::uint64_t>(0);
    return object;
}

// tp_dealloc of every class: drop the fields, free the memory and release
// the reference that each instance of a heap type holds on its type.
template <class T>
void box_dealloc(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    box_of<T>(object)->value.~T();
    type->tp_free(object);
    Py_DECREF(type);
}

// RAII use of an object's value. Made by borrow_shared/borrow_exclusive;
// false when the use was refused (RuntimeError set). Given back on every
// path when the guard goes out of scope.
template <class T>
class Borrow {
public:
    Borrow(Borrow&& other) noexcept : box_(std::exchange(other.box_, nullptr)), exclusive_(other.exclusive_) {}
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (box_ == nullptr) return;
        if (exclusive_) box_->borrow.store(0, std::memory_order_release);
        else box_->borrow.fetch_sub(1, std::memory_order_release);
    }

    explicit operator bool() const { return box_ != nullptr; }
    T& operator*() const { return box_->value; }
    T* operator->() const { return &box_->value; }

    template <class U>
    friend Borrow<U> borrow_shared(PyObject* object);
    template <class U>
    friend Borrow<U> borrow_exclusive(PyObject* object);

private:
    Borrow(Box<T>* box, bool exclusive) : box_(box), exclusive_(exclusive) {}
    Box<T>* box_;
    bool exclusive_;
};

// Shared use: refused with RuntimeError "Already mutably borrowed" while
// the object is in exclusive use.
template <class T>
Borrow<T> borrow_shared(PyObject* object) {
    Box<T>* box = box_of<T>(object);
    std::uint64_t current = box->borrow.load(std::memory_order_relaxed);
    do {
        if (current == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            return Borrow<T>(nullptr, false);
        }
    } while (!box->borrow.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                std::memory_order_relaxed));
    return Borrow<T>(box, false);
}

// Exclusive use: refused with RuntimeError "Already borrowed" while the
// object is in any use.
template <class T>
Borrow<T> borrow_exclusive(PyObject* object) {
    Box<T>* box = box_of<T>(object);
    std::uint64_t expected = 0;
    if (!box->borrow.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return Borrow<T>(nullptr, true);
    }
    return Borrow<T>(box, true);
}

// An owned (strong) reference; releases it when destroyed.
class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be NULL).
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to a borrowed one (may be NULL).
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref& other) : object_(other.object_) { Py_XINCREF(object_); }
    Ref& operator=(const Ref& other) {
        Ref copy(other);
        std::swap(object_, copy.object_);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (for returning to the interpreter).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace sekvo::binding
