#include "base/memory_limit.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace kesra {

namespace {

// The value of a "Name: value kB" line of /proc/meminfo, in bytes; 0 when not found.
std::uint64_t meminfo_bytes(const char* name) {
    std::FILE* file = std::fopen("/proc/meminfo", "r");
    if (file == nullptr) return 0;
    char line[256];
    std::uint64_t bytes = 0;
    char key[64];
    unsigned long long kib = 0;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        if (std::sscanf(line, "%63[^:]: %llu", key, &kib) == 2 && std::string_view(key) == name) {
            bytes = static_cast<std::uint64_t>(kib) * 1024;
            break;
        }
    }
    std::fclose(file);
    return bytes;
}

// The process's mapped address space in bytes (VmSize); 0 when not known.
std::uint64_t mapped_bytes() {
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) return 0;
    unsigned long long pages = 0;
    const bool read = std::fscanf(file, "%llu", &pages) == 1;
    std::fclose(file);
    const long page_size = sysconf(_SC_PAGESIZE);
    return read && page_size > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size) : 0;
}

}  // namespace

std::uint64_t allocatable_bytes() {
    std::uint64_t bytes = UINT64_MAX;
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) bytes = static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size);
    if (const std::uint64_t available = meminfo_bytes("MemAvailable"); available > 0)
        bytes = std::min(bytes, available);
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const std::uint64_t used = mapped_bytes();
        const auto cap = static_cast<std::uint64_t>(limit.rlim_cur);
        bytes = std::min(bytes, cap > used ? cap - used : 0);
    }
    return bytes;
}

}  // namespace kesra
