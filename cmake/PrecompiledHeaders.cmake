# Before its own code, nearly every source parses the same standard headers: in C++20 <chrono>,
# <functional>, <memory> and <mutex> alone come to some 80,000 lines, and gtest adds 25,000 more
# to every test. In an unoptimised build (the sanitizer builds), where parsing is most of a
# source's cost, each target parses them once, into a precompiled header that its sources load.
#
# Only there: g++ 12 drops the `#pragma GCC diagnostic` state of a precompiled header, and the
# pragmas by which libstdc++ silences -Warray-bounds and -Wstringop-overflow inside its own
# char_traits are among them. Optimised, the inlined copies of std::string then raise those
# warnings against our code (a known false positive the pragmas are there for), and -Werror stops
# the build. Without optimisation those warnings do not look through calls, so nothing is lost.
#
# Only standard and gtest headers go in: they never change under the tree, so no edit rebuilds a
# target's precompiled header. nlohmann/json stays out: a third of the library uses it, and the
# larger header cost the other two thirds more to load than the third saved.
#
# A target's sources share one header, compiled with that target's flags (g++ refuses one built
# with another target's -fPIC/-fPIE, so the test programs cannot borrow the support library's).
# CMAKE_DISABLE_PRECOMPILE_HEADERS turns it off: the fuzzing build does, so that one compiler still
# sees every source with only the includes it writes, and a missing include fails there.
set(OMBRELIA_PCH_STANDARD
  <algorithm> <array> <atomic> <chrono> <cstddef> <cstdint> <cstring> <deque> <functional>
  <limits> <map> <memory> <mutex> <optional> <string> <string_view> <utility> <vector>)
set(OMBRELIA_PCH_TESTS
  ${OMBRELIA_PCH_STANDARD} <condition_variable> <filesystem> <fstream> <future> <set> <sstream>
  <thread> <gtest/gtest.h>)

if(CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT "${CMAKE_CXX_FLAGS} ${CMAKE_CXX_FLAGS_DEBUG}" MATCHES "-O[^0]")
  set(OMBRELIA_PRECOMPILE ON)
else()
  set(OMBRELIA_PRECOMPILE OFF)
endif()

function(ombrelia_precompile_library target)
  if(OMBRELIA_PRECOMPILE)
    target_precompile_headers(${target} PRIVATE ${OMBRELIA_PCH_STANDARD})
  endif()
endfunction()

function(ombrelia_precompile_test target)
  if(OMBRELIA_PRECOMPILE)
    target_precompile_headers(${target} PRIVATE ${OMBRELIA_PCH_TESTS})
  endif()
endfunction()
