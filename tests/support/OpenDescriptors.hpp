#pragma once
// Any thread: reads the kernel's descriptor table, keeps no state.

#include <cstddef>

namespace ombrelia::test {

// How many descriptors this process holds open now (the directory listing's own included).
size_t openDescriptorCount();

}  // namespace ombrelia::test
