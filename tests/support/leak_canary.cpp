// A program that leaks on purpose, run by the sanitizer tree's tests: it
// passes only when LeakSanitizer reports the leak, so a run whose leak
// checking was switched off (or whose suppressions hide our own code) fails.
#include <cstdio>

namespace {

// Kept out of reach of the optimiser, so the allocation really happens.
int* volatile leaked = nullptr;

} // namespace

int main()
{
    leaked = new int[16]{42};
    leaked = nullptr;
    std::puts("leak canary: leaked 64 bytes on purpose");
    return 0;
}
