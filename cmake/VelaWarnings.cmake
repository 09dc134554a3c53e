# Common warning flags, applied per target with vela_warnings(target).
function(vela_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
  if(VELA_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
