# Objective-C and Objective-C++ for the pane's bundle and its tests.  Include
# it in each folder that compiles .m or .mm files (languages are per folder).
#
# The host is built with GCC's Objective-C runtime, so the bundle must be too:
# pin gcc/g++ before the languages are enabled, or CMake picks clang, whose
# Objective-C++ does not build against these GNUstep headers.
if(NOT DEFINED CMAKE_OBJC_COMPILER)
  find_program(QUILLMATE_OBJC_GCC gcc REQUIRED)
  set(CMAKE_OBJC_COMPILER "${QUILLMATE_OBJC_GCC}")
endif()
if(NOT DEFINED CMAKE_OBJCXX_COMPILER)
  find_program(QUILLMATE_OBJCXX_GXX g++ REQUIRED)
  set(CMAKE_OBJCXX_COMPILER "${QUILLMATE_OBJCXX_GXX}")
endif()
enable_language(OBJC OBJCXX)

