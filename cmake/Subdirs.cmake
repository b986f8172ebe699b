# parlindo_add_subdirectories(<dir>): adds every direct child folder of <dir> that has a CMakeLists.txt,
# so a new facility or test folder only needs its own CMakeLists.txt.
function(parlindo_add_subdirectories dir)
  file(GLOB children LIST_DIRECTORIES true ${dir}/*)
  list(SORT children)
  foreach(child ${children})
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
