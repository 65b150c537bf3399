#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant in a harness is a finding like a sanitizer report:
// libFuzzer takes the abort as a crash and keeps the input.
inline void FuzzCheck(bool bOk, const char *sWhat, int nLine)
{
    if (!bOk) {
        std::fprintf(stderr, "fuzz check failed, line %d: %s\n", nLine, sWhat);
        std::abort();
    }
}

#define FUZZ_CHECK(cond) FuzzCheck((cond), #cond, __LINE__)
