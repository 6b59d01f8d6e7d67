# ctest's cleanup of the vexa_shm fixture, run after every suite that may
# make shared-memory roots:
#   cmake -DTAG=<tag> -P ShmCleanup.cmake
# Removes /dev/shm/vexa_test.<tag>.<pid>.* whose maker <pid> has exited (see
# testutil/ShmRoot.h), then fails naming each one it had to remove: a root
# left behind means a test process died without its cleanup, or a test makes
# roots some other way. Roots of live processes (another run of this build
# beside us) and of other tags are never touched.
if(NOT TAG)
  message(FATAL_ERROR "ShmCleanup.cmake: -DTAG=<tag> is required")
endif()
file(GLOB roots LIST_DIRECTORIES true "/dev/shm/vexa_test.${TAG}.*")
set(removed)
set(stuck)
foreach(root IN LISTS roots)
  get_filename_component(name ${root} NAME)
  if(NOT name MATCHES "^vexa_test\\.${TAG}\\.([0-9]+)\\.")
    continue()
  endif()
  if(EXISTS /proc/${CMAKE_MATCH_1})
    continue()  # its maker still runs
  endif()
  file(REMOVE_RECURSE ${root})
  if(EXISTS ${root})
    list(APPEND stuck ${root})
  else()
    list(APPEND removed ${root})
  endif()
endforeach()
list(LENGTH roots found)
if(stuck)
  list(JOIN stuck "\n  " text)
  message(FATAL_ERROR "shared-memory roots that could not be removed:\n  ${text}")
endif()
if(removed)
  list(JOIN removed "\n  " text)
  message(FATAL_ERROR "tests left shared-memory roots behind (now removed):\n  ${text}")
endif()
message(STATUS "no shared-memory roots left behind (tag ${TAG}, ${found} of live processes)")
