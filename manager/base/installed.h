// How X::Instance() finds the one X of the running service. A layer cannot
// reach the service object that owns it (entry/ is below every layer), so
// the owner holds an Installed<X>, which makes the X and points X's slot at
// it for as long as it lives. A program that uses a layer on its own (the
// installer command, a benchmark) holds one itself.
#pragma once

#include <atomic>
#include <utility>

template <typename T>
class Installed;

// The X that X::Instance() returns: the innermost Installed<X> alive, or
// null when there is none.
template <typename T>
class InstalledSlot {
public:
    static T* Get() { return current_.load(std::memory_order_acquire); }

private:
    template <typename>
    friend class Installed;
    static inline std::atomic<T*> current_{nullptr};
};

// Owns one T and installs it. Made and destroyed on one thread, last made
// first destroyed; another Installed<T> made while this one lives takes
// over the slot until it goes (a test's fresh service inside a program's).
template <typename T>
class Installed {
public:
    template <typename... Args>
    explicit Installed(Args&&... args) : object_(std::forward<Args>(args)...) {
        previous_ = InstalledSlot<T>::current_.exchange(&object_, std::memory_order_acq_rel);
    }
    ~Installed() { InstalledSlot<T>::current_.store(previous_, std::memory_order_release); }
    Installed(const Installed&) = delete;
    Installed& operator=(const Installed&) = delete;

    T& operator*() { return object_; }
    T* operator->() { return &object_; }

private:
    T object_;
    T* previous_ = nullptr;
};
