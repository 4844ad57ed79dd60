# One warning policy for every target of ours: pelk_warnings(target).
function(pelk_warnings target)
  target_compile_options(${target} PRIVATE
    -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wcast-align -Wnull-dereference
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual>)
  if(PELK_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
