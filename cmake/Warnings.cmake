# Our own code builds with -Wall -Wextra; third-party headers are system headers. Warnings stop
# the build only where the project asks for it (its presets and CI, through OMBRELIA_WERROR):
# another compiler or optimisation level may warn where ours does not, and a user's build should
# not fail on that.
function(ombrelia_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  if(OMBRELIA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
