#pragma once
// Compile time only.

// The library is built with every symbol hidden; this marks the classes and functions an
// application calls, so the shared library exports them and nothing of its implementation (its
// helpers, and the Boost, JSON and OpenSSL code instantiated inside it) becomes part of its ABI.
#if defined(__GNUC__) || defined(__clang__)
#define OMBRELIA_API __attribute__((visibility("default")))
#else
#define OMBRELIA_API
#endif
