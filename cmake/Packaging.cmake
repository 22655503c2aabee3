# Debian packages through CPack's DEB generator, one package per install
# component:
#   quillmate-tools   qmfiles and qmprefs, their manual pages and completions
#   quillmate-pane    the pane bundle, in the system's GNUstep bundles folder
#   libquillmate-dev  headers, static libraries, CMake package, pkg-config file
# The pane is a package of its own: it pulls in GNUstep's GUI libraries, which
# a machine that wants the command-line tools (a server, a build host) should
# not have to take.  tools/package.sh configures a tree for /usr and runs
# cpack; any tree can be packaged, at the prefix it was configured for.

set(QUILLMATE_PACKAGE_MAINTAINER "Quillworks Quillmate team <quillmate@quillworks.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(QUILLMATE_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

# Names the Debian package that ships pkg-config module <module> and the
# upstream version installed here, as "<package> (>= <version>)", in <out>; empty
# where dpkg does not know the module's file.  ICU renames its symbols with
# each major version (ucnv_open_72), so the static libraries link only with
# the ICU they were built with: its relations also bound the major version.
function(quillmate_deb_package_of_module module out)
  set(${out} "" PARENT_SCOPE)
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --variable=pcfiledir ${module}
                  OUTPUT_VARIABLE dir OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0)
    return()
  endif()
  execute_process(COMMAND ${QUILLMATE_DPKG_QUERY} --search "${dir}/${module}.pc"
                  OUTPUT_VARIABLE owner OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  # "libicu-dev:amd64: /usr/lib/x86_64-linux-gnu/pkgconfig/icu-uc.pc"
  if(NOT rc EQUAL 0 OR NOT owner MATCHES "^([^:, ]+)")
    return()
  endif()
  set(package "${CMAKE_MATCH_1}")
  execute_process(COMMAND ${QUILLMATE_DPKG_QUERY} --show "--showformat=\${Version}" ${package}
                  OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(NOT rc EQUAL 0 OR NOT version)
    set(${out} "${package}" PARENT_SCOPE)
    return()
  endif()
  # The upstream version: a later Debian revision of it has the same interface.
  string(REGEX REPLACE "-[^-]*$" "" version "${version}")
  set(relations "${package} (>= ${version})")
  execute_process(COMMAND ${PKG_CONFIG_EXECUTABLE} --modversion ${module}
                  OUTPUT_VARIABLE module_version OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(module MATCHES "^icu-" AND module_version MATCHES "^([0-9]+)")
    math(EXPR next_major "${CMAKE_MATCH_1} + 1")
    list(APPEND relations "${package} (<< ${next_major})")
  endif()
  set(${out} "${relations}" PARENT_SCOPE)
endfunction()

# The -dev package depends on the -dev packages that provide what the static
# libraries need: the modules the pkg-config file requires.
find_program(QUILLMATE_DPKG_QUERY dpkg-query)
set(dev_depends)
if(QUILLMATE_DPKG_QUERY)
  foreach(module ${QUILLMATE_PC_REQUIRES})
    quillmate_deb_package_of_module(${module} package)
    if(package)
      list(APPEND dev_depends "${package}")
    else()
      message(WARNING "Debian packages: no package found for pkg-config module ${module}; "
                      "libquillmate-dev will not depend on it")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES dev_depends)
endif()
# The CMake package finds its dependencies through pkg-config.
list(APPEND dev_depends "pkgconf | pkg-config")
list(JOIN dev_depends ", " dev_depends)

set(CPACK_PACKAGE_NAME quillmate)
set(CPACK_PACKAGE_VENDOR Quillworks)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dev)
if(TARGET quillmate_prefpane)
  list(APPEND CPACK_COMPONENTS_ALL pane)
endif()

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QUILLMATE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${QUILLMATE_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE quillmate)

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quillmate-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
"command-line tools for Quillmate's preferences and file utilities
qmprefs reads, writes and deletes the values of a Quillmate preference
domain (an XML property list in the user's preferences folder), lists its
keys and prints the distributed notifications posted on the session bus.
qmfiles runs the Quillmate file utility library on paths: information,
listings, walks, deletion of folders, copies of files and forks, moves,
exchanges, Finder flags, locks, sizes and volumes.
.
This package holds both tools, their manual pages and bash completions.")

set(CPACK_DEBIAN_PANE_PACKAGE_NAME quillmate-pane)
set(CPACK_DEBIAN_PANE_PACKAGE_SECTION gnustep)
set(CPACK_DEBIAN_PANE_PACKAGE_RECOMMENDS systempreferences.app)
set(CPACK_DEBIAN_PANE_DESCRIPTION
"Quillmate settings pane for GNUstep System Preferences
The Quillmate pane shows the product's name and version and two options,
Include line feed and Open file, stores them in the user's Quillmate
preference domain and tells other programs when they changed.
.
This package installs the pane in the system's GNUstep bundles folder,
where System Preferences finds it.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libquillmate-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${dev_depends}")
set(CPACK_DEBIAN_DEV_DESCRIPTION
"Quillmate libraries: strings, file utilities, platform layer (development)
Static libraries and headers for programs built on Quillmate: a
fixed-capacity string library, a file utility library over a classic File
Manager interface, and the platform layer under them (memory handles,
property lists and preferences, distributed notifications on D-Bus, text
encodings, and the File Manager over POSIX file systems).
.
This package holds the headers, the static libraries, the CMake package
(find_package(Quillmate)) and the pkg-config file (quillmate.pc).")

# Each package carries its copyright file and Debian changelog, which only
# a package needs: a plain cmake --install leaves them out.
# The changelog's date is the configure time, or SOURCE_DATE_EPOCH when set.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
find_program(QUILLMATE_GZIP gzip)
foreach(component tools pane dev)
  string(TOUPPER ${component} upper)
  set(package ${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
  set(doc_dir "${PROJECT_BINARY_DIR}/package-doc/${package}")
  configure_file("${PROJECT_SOURCE_DIR}/cmake/debian-copyright.in" "${doc_dir}/copyright" @ONLY)
  configure_file("${PROJECT_SOURCE_DIR}/cmake/debian-changelog.in" "${doc_dir}/changelog.Debian" @ONLY)
  if(QUILLMATE_GZIP)
    execute_process(COMMAND ${QUILLMATE_GZIP} -9nf "${doc_dir}/changelog.Debian"
                    COMMAND_ERROR_IS_FATAL ANY)
    set(changelog "${doc_dir}/changelog.Debian.gz")
  else()
    set(changelog "${doc_dir}/changelog.Debian")
  endif()
  install(FILES "${doc_dir}/copyright" "${changelog}"
          DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}"
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

include(CPack)
