# Warnings and sanitizers shared by every target of the project.
add_library(doka_compile_options INTERFACE)
add_library(doka::compile_options ALIAS doka_compile_options)
target_compile_options(doka_compile_options INTERFACE -Wall -Wextra)
target_include_directories(doka_compile_options INTERFACE ${PROJECT_SOURCE_DIR})

if(DOKA_SANITIZE)
  add_compile_options(-fsanitize=${DOKA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${DOKA_SANITIZE})
endif()

# The distribution's hardening, as dpkg-buildflags gives it to Debian's packages: fortified
# sources, the stack protector, full RELRO with bind-now, and PIE. Only where the code is
# optimised (fortified sources need it) and without sanitizers (they bring their own checks);
# so the package built from a default build has it.
option(DOKA_HARDENING "Build optimised builds with the distribution's hardening flags" ON)
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(DOKA_HARDENING AND NOT DOKA_SANITIZE AND CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$")
  if(NOT DPKG_BUILDFLAGS)
    message(FATAL_ERROR "dpkg-buildflags (package dpkg-dev) gives the hardening flags; "
                        "install it or configure with -DDOKA_HARDENING=OFF")
  endif()
  # PIE also where the compiler does not make it by default.
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
  # Only the hardening: the build type keeps its own optimisation and debug information.
  set(hardeningEnv "DEB_BUILD_MAINT_OPTIONS=hardening=+all reproducible=-all"
                   "DEB_CXXFLAGS_MAINT_STRIP=-g -O2")
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env ${hardeningEnv} ${DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE hardeningFlags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(hardeningFlags UNIX_COMMAND "${hardeningFlags}")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${hardeningFlags})
    else()
      add_compile_options(${hardeningFlags})
    endif()
  endforeach()
endif()
