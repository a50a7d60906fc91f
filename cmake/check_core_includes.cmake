# Fails when a file of the core includes anything but the C++ standard library, nlohmann-json and the
# core's own headers: the core must build for any platform, so the operating system stays behind
# the interfaces in platform/.
#   cmake -DFILES="a.cpp|b.h" -P check_core_includes.cmake
string(REPLACE "|" ";" files "${FILES}")
set(problems "")
foreach(file IN LISTS files)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "<([^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      # Standard headers have no extension; the one library allowed is nlohmann-json.
      if(header MATCHES "\\." AND NOT header STREQUAL "nlohmann/json.hpp")
        string(APPEND problems "  ${file}: ${line}\n")
      endif()
    elseif(line MATCHES "\"([^\"]+)\"")
      set(header "${CMAKE_MATCH_1}")
      if(NOT header MATCHES "^(app|worker|editor|maintenance|platform)/" OR header MATCHES "^platform/linux/")
        string(APPEND problems "  ${file}: ${line}\n")
      endif()
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "The core includes what belongs to a platform backend:\n${problems}")
endif()
