// Lets scripts/core-tests.sh prove that LeakSanitizer really checks this run (it cannot
// work under ptrace, for one): with KESRA_LEAK_PROBE set this test leaks one block on
// purpose, and the sanitized run must then report it.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

int* volatile leaked = nullptr;

TEST(LeakCheck, LeaksOnlyWhenAsked) {
    if (std::getenv("KESRA_LEAK_PROBE") == nullptr) return;
    leaked = new int[16];
    leaked = nullptr;
}

}  // namespace
