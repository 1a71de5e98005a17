# cobaltmoth_warnings(target): the warnings every target of the project is built with.
function(cobaltmoth_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                         -Wnon-virtual-dtor -Wimplicit-fallthrough)
  if(COBALTMOTH_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
