# `cmake --install build` puts Nubrio.app into ~/Applications (or the prefix given) and makes it the
# handler of nubrio: links. It starts nothing.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/Applications" CACHE PATH "Where Nubrio.app is installed" FORCE)
endif()

add_executable(nubrio-register-handler bundle/register_handler.cpp)
target_link_libraries(nubrio-register-handler PRIVATE nubrio_linux)

install(DIRECTORY "${NUBRIO_BUNDLE}" DESTINATION "." USE_SOURCE_PERMISSIONS)
install(CODE "
  if(\"\$ENV{DESTDIR}\" STREQUAL \"\")
    execute_process(COMMAND \"${CMAKE_BINARY_DIR}/nubrio-register-handler\"
                            \"\${CMAKE_INSTALL_PREFIX}/Nubrio.app/Contents/MacOS/Nubrio\")
  endif()
")
