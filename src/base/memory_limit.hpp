#pragma once
// With memory overcommit, a huge allocation can appear to succeed and then kill the
// process when it is written. Tables and results larger than the machine's physical
// memory are refused up front with std::bad_alloc instead.
#include <unistd.h>

#include <cstdint>
#include <new>

namespace kesra {

inline void check_fits_in_memory(std::uint64_t count, std::uint64_t bytes_per_element) {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0 || count == 0 || bytes_per_element == 0) return;
    const std::uint64_t physical = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    if (count > physical / bytes_per_element) throw std::bad_alloc();
}

}  // namespace kesra
