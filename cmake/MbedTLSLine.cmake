# Which mbed TLS line is installed, and whether it can be shared between
# threads. The source builds against 2.28 and 3.6 (tls/ adapts with #if on
# the version); the line is printed so a build log says which one it used.
#
# 3.x keeps its version in build_info.h and its configuration in
# mbedtls_config.h, which build_info.h includes; 2.x has version.h and
# config.h. Checking the wrong header would see no macros at all.
if(EXISTS "${MBEDTLS_INCLUDE_DIR}/mbedtls/build_info.h")
  set(MBEDTLS_CONFIG_HEADER "mbedtls/build_info.h")
  set(_version_header "${MBEDTLS_INCLUDE_DIR}/mbedtls/build_info.h")
else()
  set(MBEDTLS_CONFIG_HEADER "mbedtls/config.h")
  set(_version_header "${MBEDTLS_INCLUDE_DIR}/mbedtls/version.h")
endif()
file(STRINGS "${_version_header}" _version_line REGEX "^#define[ \t]+MBEDTLS_VERSION_NUMBER[ \t]+0x[0-9A-Fa-f]+")
if(NOT _version_line MATCHES "(0x[0-9A-Fa-f]+)")
  message(FATAL_ERROR "mbed TLS: no MBEDTLS_VERSION_NUMBER in ${_version_header}")
endif()
# 0xMMNNPP00: major, minor, patch.
math(EXPR MBEDTLS_VERSION_MAJOR "(${CMAKE_MATCH_1} >> 24) & 255")
math(EXPR _minor "(${CMAKE_MATCH_1} >> 16) & 255")
math(EXPR _patch "(${CMAKE_MATCH_1} >> 8) & 255")
set(MBEDTLS_VERSION "${MBEDTLS_VERSION_MAJOR}.${_minor}.${_patch}")
message(STATUS "mbed TLS ${MBEDTLS_VERSION} (${MBEDTLS_CONFIG_HEADER})")
if(NOT (MBEDTLS_VERSION VERSION_GREATER_EQUAL 2.28 AND MBEDTLS_VERSION VERSION_LESS 2.29)
   AND NOT (MBEDTLS_VERSION VERSION_GREATER_EQUAL 3.6 AND MBEDTLS_VERSION VERSION_LESS 4.0))
  message(WARNING "mbed TLS ${MBEDTLS_VERSION}: only the 2.28 and 3.6 lines are tested")
endif()

# Sessions on different threads share one random generator and one ticket
# key, which only the library's own mutexes make safe (tls.cc refuses to
# compile without them as well); say so here, before anything is built.
include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_INCLUDES "${MBEDTLS_INCLUDE_DIR}")
check_cxx_source_compiles("
#include <${MBEDTLS_CONFIG_HEADER}>
#if !defined(MBEDTLS_THREADING_C) || !defined(MBEDTLS_THREADING_PTHREAD)
#error no threading
#endif
int main() { return 0; }" MBEDTLS_HAS_PTHREAD_THREADING)
unset(CMAKE_REQUIRED_INCLUDES)
if(NOT MBEDTLS_HAS_PTHREAD_THREADING)
  message(FATAL_ERROR "mbed TLS ${MBEDTLS_VERSION} must be built with MBEDTLS_THREADING_C and MBEDTLS_THREADING_PTHREAD")
endif()
