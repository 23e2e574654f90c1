# Compiles one-line files with a layer's include directories: ALLOWED, a
# header of the layer itself, must build (so a broken set-up cannot pass),
# FORBIDDEN, a header of a layer it must not reach, must not be found.
# Run with cmake -DCOMPILER=... -DINCLUDES=a;b -DALLOWED=x.h -DFORBIDDEN=y.h
# -DWORK=dir -P include_probe.cmake.
cmake_minimum_required(VERSION 3.16)
set(flags)
foreach(dir ${INCLUDES})
  list(APPEND flags -I${dir})
endforeach()
file(MAKE_DIRECTORY ${WORK})
foreach(kind ALLOWED FORBIDDEN)
  set(probe ${WORK}/${kind}.cc)
  file(WRITE ${probe} "#include \"${${kind}}\"\n")
  execute_process(
    COMMAND ${COMPILER} -std=c++17 -fsyntax-only ${flags} ${probe}
    RESULT_VARIABLE result ERROR_VARIABLE errors OUTPUT_QUIET)
  if(kind STREQUAL "ALLOWED" AND NOT result EQUAL 0)
    message(FATAL_ERROR "${ALLOWED} does not build:\n${errors}")
  endif()
  if(kind STREQUAL "FORBIDDEN")
    if(result EQUAL 0)
      message(FATAL_ERROR "${FORBIDDEN} is reachable with ${INCLUDES}")
    endif()
    if(NOT errors MATCHES "No such file|file not found")
      message(FATAL_ERROR "${FORBIDDEN} failed for another reason:\n${errors}")
    endif()
  endif()
endforeach()
