# `cmake --install build` puts Nubrio.app into ~/Applications (or the prefix given) and puts it on the
# desktop: its application entry (the application menu, nubrio: links) and its icon. It starts
# nothing, and fails, saying why, for a place the desktop could not start it from.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/Applications" CACHE PATH "Where Nubrio.app is installed" FORCE)
endif()

add_executable(nubrio-register-handler bundle/register_handler.cpp)
target_link_libraries(nubrio-register-handler PRIVATE nubrio_linux)

# Checked before anything is copied, and registered after.
foreach(step check register)
  set(option "")
  if(step STREQUAL "check")
    set(option "--check")
  endif()
  set(code_${step} "
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
      execute_process(COMMAND \"${CMAKE_BINARY_DIR}/nubrio-register-handler\" ${option}
                              \"\${CMAKE_INSTALL_PREFIX}/Nubrio.app/Contents/MacOS/Nubrio\"
                      RESULT_VARIABLE result)
      if(NOT result EQUAL 0)
        message(FATAL_ERROR \"Nubrio.app cannot be put on the desktop from \${CMAKE_INSTALL_PREFIX} (see above)\")
      endif()
    endif()
  ")
endforeach()
install(CODE "${code_check}")
install(DIRECTORY "${NUBRIO_BUNDLE}" DESTINATION "." USE_SOURCE_PERMISSIONS)
install(CODE "${code_register}")
