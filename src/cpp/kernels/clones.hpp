// Function multi-versioning: on x86-64 with GCC and glibc a kernel is compiled
// once per listed instruction-set level and the dynamic loader picks the one
// the running CPU supports. Elsewhere (aarch64, clang, other C libraries) the
// attribute expands to nothing and the one baseline build runs.
#pragma once

#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && defined(__GLIBC__) && \
    !defined(TAVO_NO_CLONES)
// TAVO_NO_CLONES builds one version for whatever -march says (the kernel tests use it).
#define TAVO_TARGET_CLONES(...) __attribute__((target_clones(__VA_ARGS__)))
#define TAVO_MULTIVERSIONED 1  // kernels may also pick their level by hand, by the same CPU test
#else
#define TAVO_TARGET_CLONES(...)
#define TAVO_MULTIVERSIONED 0
#endif
