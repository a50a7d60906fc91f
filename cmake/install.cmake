# `cmake --install build` lays Nubrio out in one of two ways, chosen when it runs:
#
# - Per user, for a prefix inside the home folder (the default, ~/Applications): <prefix>/Nubrio.app,
#   then its application entry (the application menu, nubrio: links) and its icon in the user's
#   folders. It starts nothing, and fails, saying why, for a place the desktop could not start it from.
# - For the system, with any other prefix or with DESTDIR (packagers): the Filesystem Hierarchy
#   Standard's places and nothing in anyone's home:
#     <prefix>/lib/nubrio/Nubrio.app                         the bundle, unchanged
#     <prefix>/bin/nubrio                                    a link to its executable
#     <prefix>/share/applications/app.nubrio.desktop.desktop the entry the program writes per user
#     <prefix>/share/icons/hicolor/*/apps/app.nubrio.desktop.*
#     <prefix>/share/metainfo/app.nubrio.desktop.metainfo.xml
#     <prefix>/share/man/man1/nubrio.1
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/Applications" CACHE PATH "Where Nubrio is installed" FORCE)
endif()

add_executable(nubrio-register-handler bundle/register_handler.cpp)
target_link_libraries(nubrio-register-handler PRIVATE nubrio_linux)

set(NUBRIO_RELEASE_DATE "2026-12-10")  # of the version in project()
configure_file(bundle/metainfo.xml.in "${CMAKE_BINARY_DIR}/${NUBRIO_BUNDLE_IDENTIFIER}.metainfo.xml" @ONLY)
configure_file(bundle/nubrio.1.in "${CMAKE_BINARY_DIR}/nubrio.1" @ONLY)

string(CONFIGURE [[
  set(helper "@CMAKE_BINARY_DIR@/nubrio-register-handler")
  set(staging "@CMAKE_BINARY_DIR@/system-files")
  set(prefix "${CMAKE_INSTALL_PREFIX}")
  set(home "$ENV{HOME}")
  string(FIND "${prefix}/" "${home}/" inHome)
  if("$ENV{DESTDIR}" STREQUAL "" AND NOT home STREQUAL "" AND NOT home STREQUAL "/" AND inHome EQUAL 0)
    set(executable "${prefix}/Nubrio.app/Contents/MacOS/Nubrio")
    execute_process(COMMAND "${helper}" --check "${executable}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Nubrio.app cannot be put on the desktop from ${prefix} (see above)")
    endif()
    file(INSTALL "@NUBRIO_BUNDLE@" DESTINATION "${prefix}" USE_SOURCE_PERMISSIONS)
    execute_process(COMMAND "${helper}" "${executable}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Nubrio.app cannot be put on the desktop from ${prefix} (see above)")
    endif()
  else()
    set(executable "${prefix}/lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio")
    file(REMOVE_RECURSE "${staging}")
    execute_process(COMMAND "${helper}" --system-files "${staging}" "${executable}" RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "Nubrio cannot be installed into ${prefix} (see above)")
    endif()
    file(INSTALL "@NUBRIO_BUNDLE@" DESTINATION "${prefix}/lib/nubrio" USE_SOURCE_PERMISSIONS)
    set(read OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(INSTALL "${staging}/applications" "${staging}/icons" DESTINATION "${prefix}/share"
         FILE_PERMISSIONS ${read} DIR_PERMISSIONS ${read} OWNER_EXECUTE GROUP_EXECUTE WORLD_EXECUTE)
    file(INSTALL "@CMAKE_BINARY_DIR@/@NUBRIO_BUNDLE_IDENTIFIER@.metainfo.xml" DESTINATION "${prefix}/share/metainfo"
         FILE_PERMISSIONS ${read})
    file(INSTALL "@CMAKE_BINARY_DIR@/nubrio.1" DESTINATION "${prefix}/share/man/man1" FILE_PERMISSIONS ${read})
    # A relative link, so the tree works wherever it is unpacked.
    set(link "$ENV{DESTDIR}${prefix}/bin/nubrio")
    message(STATUS "Installing: ${link}")
    file(MAKE_DIRECTORY "$ENV{DESTDIR}${prefix}/bin")
    file(REMOVE "${link}")
    file(CREATE_LINK "../lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio" "${link}" SYMBOLIC)
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${prefix}/bin/nubrio")
  endif()
]] code @ONLY)
install(CODE "${code}")
