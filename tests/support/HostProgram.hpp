#pragma once

#include <string>

namespace ombrelia::test {

// The example host application, built beside the tests: what the end-to-end tests run as a
// viewer.
inline const std::string kHost = std::string(OMBRELIA_BINARY_DIR) + "/examples/ombrelia-host";

}  // namespace ombrelia::test
