#pragma once
// The library's version. The build reads it from here (CMakeLists.txt), so
// the package version, the shared library's SONAME and these macros are
// one number. The tools print it for --version.
#define VEXA_SWITCH_LIB_VERSION_MAJOR 0
#define VEXA_SWITCH_LIB_VERSION_MINOR 1
#define VEXA_SWITCH_LIB_VERSION_PATCH 0
#define VEXA_SWITCH_LIB_VERSION_STRING "0.1.0"
// Comparable as one number: major * 10000 + minor * 100 + patch.
#define VEXA_SWITCH_LIB_VERSION \
  (VEXA_SWITCH_LIB_VERSION_MAJOR * 10000 + VEXA_SWITCH_LIB_VERSION_MINOR * 100 + VEXA_SWITCH_LIB_VERSION_PATCH)

static_assert(VEXA_SWITCH_LIB_VERSION_MINOR < 100 && VEXA_SWITCH_LIB_VERSION_PATCH < 100);
