#pragma once
// With memory overcommit, a huge allocation can appear to succeed and then kill the
// process when it is written. Tables and results larger than what the process can still
// allocate are refused up front with std::bad_alloc instead.
#include <cstdint>
#include <new>

namespace kesra {

// Bytes this process can allocate now without swapping or passing its address-space
// limit: the least of physical memory, the memory the kernel reports available, and the
// room left under RLIMIT_AS; UINT64_MAX when none of them is known.
std::uint64_t allocatable_bytes();

// Requests below this many bytes are not checked: reading the limits costs microseconds.
inline constexpr std::uint64_t UNCHECKED_BYTES = std::uint64_t{1} << 26;

inline void check_fits_in_memory(std::uint64_t count, std::uint64_t bytes_per_element) {
    if (count == 0 || bytes_per_element == 0) return;
    if (count <= UNCHECKED_BYTES / bytes_per_element) return;
    if (count > allocatable_bytes() / bytes_per_element) throw std::bad_alloc();
}

}  // namespace kesra
