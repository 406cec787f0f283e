# Reads a generated package configuration and runs its pre-build scripts as cpack does.
include("${CONFIG}")
if(NOT CPACK_PRE_BUILD_SCRIPTS)
  message(FATAL_ERROR "no pre-build scripts in ${CONFIG}")
endif()
foreach(script IN LISTS CPACK_PRE_BUILD_SCRIPTS)
  include("${script}")
endforeach()
message(STATUS "packaging allowed")
