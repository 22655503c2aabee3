# cmake -P script: install, then configure, build and run the client twice
# (CMake package and pkg-config).
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${prefix}")

# The pkg-config file names each required module once.
file(GLOB pc_file "${prefix}/lib/pkgconfig/quillmate.pc" "${prefix}/lib/*/pkgconfig/quillmate.pc")
file(STRINGS "${pc_file}" requires REGEX "^Requires:")
string(REGEX REPLACE "^Requires: *" "" requires "${requires}")
separate_arguments(modules UNIX_COMMAND "${requires}")
set(unique ${modules})
list(REMOVE_DUPLICATES unique)
if(NOT modules OR NOT modules STREQUAL unique)
  message(FATAL_ERROR "${pc_file}: Requires should name each module once: ${requires}")
endif()

# The test hooks are for the project's own tests: no header or library of
# theirs is installed.
file(GLOB_RECURSE testing_files "${prefix}/*Testing*" "${prefix}/*_testing*")
if(testing_files)
  message(FATAL_ERROR "test hooks installed: ${testing_files}")
endif()
foreach(mode cmake pkgconfig)
  set(bin "${WORK_DIR}/client-${mode}")
  run(${CMAKE_COMMAND} -S "${CLIENT_DIR}" -B "${bin}" -DCMAKE_PREFIX_PATH=${prefix}
      -DCLIENT_MODE=${mode} -DCMAKE_C_COMPILER=gcc -DCMAKE_CXX_COMPILER=g++)
  run(${CMAKE_COMMAND} --build "${bin}")
  run("${bin}/client")
endforeach()
