# Every test program links the whole library with its debug information, some forty programs per
# tree: with GNU ld that is a good part of a fresh build on a two-core machine. lld links the same
# programs in about a third of the CPU time (and compresses their debug sections just the same).
# The presets ask for it; a plain build keeps the toolchain's default linker. Where lld is missing
# the build says so and links with the default one, only slower.
option(OMBRELIA_USE_LLD "Link with lld (ld.lld) rather than the compiler's default linker" OFF)
if(OMBRELIA_USE_LLD)
  include(CheckLinkerFlag)
  check_linker_flag(CXX -fuse-ld=lld OMBRELIA_LLD_WORKS)
  if(OMBRELIA_LLD_WORKS)
    add_link_options(-fuse-ld=lld)
  else()
    message(WARNING "OMBRELIA_USE_LLD: the compiler cannot link with lld (is ld.lld installed? "
                    "scripts/install-deps installs it); linking with the default linker")
  endif()
endif()
