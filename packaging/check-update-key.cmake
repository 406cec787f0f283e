# Run by cpack before it builds the packages: packages that trust the public
# development update key are refused unless asked for a demo build, at configure
# time or here (`cpack -D KESTRA_DEMO_UPDATE_KEY=ON`).
if(CPACK_KESTRA_UPDATE_KEY_REFUSAL AND NOT KESTRA_DEMO_UPDATE_KEY)
  message(FATAL_ERROR "${CPACK_KESTRA_UPDATE_KEY_REFUSAL}")
endif()
