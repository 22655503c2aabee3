# Helpers shared by every folder's CMakeLists: one way to declare an installed
# library, one way to declare a dependency found through pkg-config, one way to
# declare a test.

# quillmate_add_library(<target> <export-name> [INTERFACE] [SOURCES ...])
#   Declares Quillmate::<export-name>, installed as libquillmate_<export-name>.a
#   and exported in QuillmateTargets.  Later libraries depend on earlier ones,
#   so each is put in front of the pkg-config link line.
function(quillmate_add_library target export_name)
  cmake_parse_arguments(ARG "INTERFACE" "" "SOURCES" ${ARGN})
  if(ARG_INTERFACE)
    add_library(${target} INTERFACE)
  else()
    add_library(${target} STATIC ${ARG_SOURCES})
    set_target_properties(${target} PROPERTIES OUTPUT_NAME quillmate_${export_name})
    get_property(libs GLOBAL PROPERTY QUILLMATE_PC_LIBS)
    set_property(GLOBAL PROPERTY QUILLMATE_PC_LIBS "-lquillmate_${export_name};${libs}")
  endif()
  add_library(Quillmate::${export_name} ALIAS ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  install(TARGETS ${target} EXPORT QuillmateTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${QUILLMATE_INCLUDE_INSTALL_DIR})
endfunction()

# quillmate_pkg_dependency(<prefix> <module>...)
#   pkg_check_modules(<prefix> REQUIRED IMPORTED_TARGET <module>...) here, in
#   the installed package config, and in the pkg-config file's Requires.
function(quillmate_pkg_dependency prefix)
  pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET GLOBAL ${ARGN})
  list(JOIN ARGN " " modules)
  set_property(GLOBAL APPEND_STRING PROPERTY QUILLMATE_CONFIG_DEPS
    "pkg_check_modules(${prefix} REQUIRED IMPORTED_TARGET ${modules})\n")
  set_property(GLOBAL APPEND PROPERTY QUILLMATE_PC_REQUIRES ${ARGN})
endfunction()

# quillmate_add_gtest(<name> SOURCES ... LIBS ... [LABELS ...] [FILTER <gtest filter>])
#   A GoogleTest executable whose cases CTest lists one by one.
function(quillmate_add_gtest name)
  cmake_parse_arguments(ARG "" "FILTER" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gmock GTest::gtest_main)
  # FILTER: a gtest filter of the tests ctest lists (others run only from
  # inside a test, e.g. in a child process).
  set(filter)
  if(ARG_FILTER)
    set(filter TEST_FILTER "${ARG_FILTER}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 ${filter}
                       PROPERTIES LABELS "${ARG_LABELS}" ${ARG_PROPERTIES})
endfunction()
