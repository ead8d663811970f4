# The presets build three trees (release, ASan+UBSan, TSan) with debug information, and every
# test program links the whole library: about 11 GB uncompressed, more than a fresh CI machine may
# have free. Compressed (zlib) debug sections take well under half of that; gdb, addr2line and the
# sanitizers' symbolizer read them as they are. The linker spends a few seconds more per program.
option(OMBRELIA_COMPRESS_DEBUG_INFO "Compress the debug sections of objects and programs (-gz)" OFF)
if(OMBRELIA_COMPRESS_DEBUG_INFO)
  add_compile_options(-gz)
  add_link_options(-gz)
endif()
