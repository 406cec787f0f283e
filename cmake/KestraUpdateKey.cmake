# The key update manifests must be signed with, written into the Info.plist of the agent
# and the console. The development seed in tools/updatesign is public, so a build that
# trusts it accepts updates from anyone: only a demo or test build may, and says so.
set(KESTRA_DEVELOPMENT_UPDATE_KEY "skkgItvmj1K86A49qFf9EFRD3kFD9HtxoGF5zt2/4wI=")
set(KESTRA_UPDATE_PUBLIC_KEY "" CACHE STRING "base64 Ed25519 public key that update manifests must be signed with")
option(KESTRA_DEMO_UPDATE_KEY "Demo or test build: trust the public development key (packages too)" OFF)

set(_kestra_key_help "Make a studio key with the signing tool (build it with `cmake --build <build> --target kestra_sign_update`):
  <build>/bin/kestra-sign-update generate /safe/place/studio.seed   (prints the public key; keep the seed private)
then pass the printed key: cmake --preset release -DKESTRA_UPDATE_PUBLIC_KEY=<key>
  (or make ... CMAKE_ARGS=-DKESTRA_UPDATE_PUBLIC_KEY=<key>)
and sign each archive: kestra-sign-update sign /safe/place/studio.seed ARCHIVE --bundle ID --version N.
For a demo build that trusts the public development key, pass -DKESTRA_DEMO_UPDATE_KEY=ON instead
  (packages of a debug build: make package KESTRA_DEMO_UPDATE_KEY=ON, or cpack -D KESTRA_DEMO_UPDATE_KEY=ON).")

if(KESTRA_UPDATE_PUBLIC_KEY STREQUAL "")
  if(NOT KESTRA_DEMO_UPDATE_KEY)
    message(FATAL_ERROR "No update key: this build would accept no update, and the development key is public.\n${_kestra_key_help}")
  endif()
  set(KESTRA_TRUSTED_UPDATE_KEY "${KESTRA_DEVELOPMENT_UPDATE_KEY}")
else()
  string(LENGTH "${KESTRA_UPDATE_PUBLIC_KEY}" _kestra_key_length)
  if(NOT KESTRA_UPDATE_PUBLIC_KEY MATCHES "^[A-Za-z0-9+/]+=*$" OR NOT _kestra_key_length EQUAL 44)
    message(FATAL_ERROR "KESTRA_UPDATE_PUBLIC_KEY must be a 32-byte key in base64 (44 characters).\n${_kestra_key_help}")
  endif()
  set(KESTRA_TRUSTED_UPDATE_KEY "${KESTRA_UPDATE_PUBLIC_KEY}")
endif()
set(KESTRA_TRUSTS_DEVELOPMENT_KEY OFF)
if(KESTRA_TRUSTED_UPDATE_KEY STREQUAL KESTRA_DEVELOPMENT_UPDATE_KEY)
  set(KESTRA_TRUSTS_DEVELOPMENT_KEY ON)
  # Debug builds (the debug and asan presets name the key) run the tests and the demo.
  if(NOT KESTRA_DEMO_UPDATE_KEY AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
    message(FATAL_ERROR "KESTRA_UPDATE_PUBLIC_KEY is the public development key, which only a debug or demo build may trust.\n${_kestra_key_help}")
  endif()
  message(STATUS "Update key: the public development key (demo and test builds only; packages refuse it)")
endif()
