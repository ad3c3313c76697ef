// What every fuzz target shares: temporary software and log directories named
// through the environment (the tests' fixture), and quiet log sinks.
#ifndef ZODARURUVIZI_FUZZ_FUZZ_ENV_H
#define ZODARURUVIZI_FUZZ_FUZZ_ENV_H

#include <cstdio>
#include <cstdlib>

#include "tests/support/testenv.h"

namespace zrfuzz {

struct Environment : zrtest::GatewayDirs {
    Environment() {
        SetMonitorSink([](void*, const char*, const char*) {}, nullptr);
        SetErrorSink([](void*, const char*, int) {}, nullptr);
    }
};

// Made once per fuzzing process, removed at its end.
inline Environment& Env() {
    static Environment env;
    return env;
}

[[noreturn]] inline void Fail(const char* target, const char* what) {
    fprintf(stderr, "%s: %s\n", target, what);
    abort();
}

}  // namespace zrfuzz

#endif
