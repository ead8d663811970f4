if(OMBRELIA_SANITIZE STREQUAL "asan-ubsan")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(OMBRELIA_SANITIZE STREQUAL "tsan")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  # g++ warns that TSan ignores standalone fences, which Boost.Asio uses around handlers; its
  # strands and queues synchronise through mutexes that TSan does see.
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    add_compile_options(-Wno-tsan)
  endif()
  add_link_options(-fsanitize=thread)
elseif(NOT OMBRELIA_SANITIZE STREQUAL "")
  message(FATAL_ERROR "OMBRELIA_SANITIZE must be empty, asan-ubsan or tsan")
endif()

# A fuzzing build instruments every object, not only the fuzz targets: libFuzzer is guided by the
# edges it sees, and ASan finds an overrun only in code it compiled. Without this the fuzzer saw
# the few edges of each target file and the library it drives was a black box to it.
if(OMBRELIA_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                      -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
