# Lays out an application folder for an executable target:
#   <apps>/<NAME>.app/Contents/{Info.plist, MacOS/<exe>, Resources/}
# The agent finds tools by bundle identifier and reads versions and task tables
# from this layout, so every deliverable and stand-in tool is built this way.
#
# kestra_add_bundle(<target>
#     NAME <bundle name> IDENTIFIER <com.zendrel....>
#     [VERSION <CFBundleVersion>] [SHORT_VERSION <CFBundleShortVersionString>]
#     [OUTPUT_DIR <folder holding the .app>] [INSTALL_DESTINATION <folder>]
#     [RESOURCES <files...>] [CONTENTS_FILES <files copied into Contents/>]
#     [EXTRA_PLIST <raw XML key/value lines>])

set(KESTRA_APPS_DIR "${CMAKE_BINARY_DIR}/apps" CACHE INTERNAL "Where built application folders go")

function(kestra_add_bundle target)
  cmake_parse_arguments(B "" "NAME;IDENTIFIER;VERSION;SHORT_VERSION;OUTPUT_DIR;INSTALL_DESTINATION;EXTRA_PLIST" "RESOURCES;CONTENTS_FILES" ${ARGN})
  if(NOT B_NAME OR NOT B_IDENTIFIER)
    message(FATAL_ERROR "kestra_add_bundle(${target}): NAME and IDENTIFIER are required")
  endif()
  if(NOT B_VERSION)
    set(B_VERSION "${KESTRA_BUNDLE_VERSION}")
  endif()
  if(NOT B_SHORT_VERSION)
    set(B_SHORT_VERSION "${PROJECT_VERSION}")
  endif()
  if(NOT B_OUTPUT_DIR)
    set(B_OUTPUT_DIR "${KESTRA_APPS_DIR}")
  endif()
  set(contents "${B_OUTPUT_DIR}/${B_NAME}.app/Contents")
  get_target_property(exe ${target} OUTPUT_NAME)
  if(NOT exe)
    set(exe ${target})
  endif()
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY "${contents}/MacOS"
    KESTRA_BUNDLE_CONTENTS "${contents}")
  file(MAKE_DIRECTORY "${contents}/Resources")

  set(KB_NAME "${B_NAME}")
  set(KB_IDENTIFIER "${B_IDENTIFIER}")
  set(KB_VERSION "${B_VERSION}")
  set(KB_SHORT_VERSION "${B_SHORT_VERSION}")
  set(KB_EXECUTABLE "${exe}")
  set(KB_EXTRA "${B_EXTRA_PLIST}")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/Info.plist.in" "${contents}/Info.plist" @ONLY)

  foreach(res IN LISTS B_RESOURCES)
    get_filename_component(res_name "${res}" NAME)
    configure_file("${res}" "${contents}/Resources/${res_name}" COPYONLY)
  endforeach()
  foreach(file IN LISTS B_CONTENTS_FILES)
    get_filename_component(file_name "${file}" NAME)
    configure_file("${file}" "${contents}/${file_name}" COPYONLY)
  endforeach()

  if(B_INSTALL_DESTINATION)
    install(TARGETS ${target} RUNTIME DESTINATION "${B_INSTALL_DESTINATION}/${B_NAME}.app/Contents/MacOS")
    install(FILES "${contents}/Info.plist" DESTINATION "${B_INSTALL_DESTINATION}/${B_NAME}.app/Contents")
    install(DIRECTORY "${contents}/Resources" DESTINATION "${B_INSTALL_DESTINATION}/${B_NAME}.app/Contents")
    foreach(file IN LISTS B_CONTENTS_FILES)
      get_filename_component(file_name "${file}" NAME)
      install(FILES "${contents}/${file_name}" DESTINATION "${B_INSTALL_DESTINATION}/${B_NAME}.app/Contents")
    endforeach()
  endif()
endfunction()
