// Allocator adapter: standard containers that hold accounted memory use this.
#pragma once
#include <cstddef>
#include <new>

#include "base/mem.h"

template <class T, uint32_t Category>
struct kiv_allocator {
    using value_type = T;
    template <class U>
    struct rebind {
        using other = kiv_allocator<U, Category>;
    };

    kiv_allocator() noexcept = default;
    template <class U>
    kiv_allocator(const kiv_allocator<U, Category> &) noexcept {}

    T *allocate(std::size_t n) {
        if (n > (((1u << 23) - 1) / sizeof(T))) throw std::bad_alloc();
        void *p = kiv_malloc(n * sizeof(T), Category);
        if (!p) throw std::bad_alloc();
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t) noexcept { kiv_free(p); }

    template <class U>
    bool operator==(const kiv_allocator<U, Category> &) const noexcept {
        return true;
    }
};
