#pragma once
// Memory pages of large buffers.
#include <cstddef>
#include <vector>

namespace base::pages {

// Advice for a large buffer about to be written in one go (2 MiB or more):
// large pages where the system gives them, and its pages mapped in one call
// rather than one fault per page. Errors are ignored.
void prepare(void* p, std::size_t n);

// v.resize(n, value), the storage prepared as above when it has to grow.
template <class T>
void resize(std::vector<T>& v, std::size_t n, const T& value = T()) {
    if (n > v.capacity()) {
        std::vector<T> fresh;
        fresh.reserve(n);
        prepare(fresh.data(), n * sizeof(T));
        fresh.insert(fresh.end(), v.begin(), v.end());
        v.swap(fresh);
    }
    v.resize(n, value);
}

}  // namespace base::pages
