# Our own code builds with every warning as an error; third-party headers are system headers.
function(ombrelia_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
