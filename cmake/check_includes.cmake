# The seam in both directions, checked at build time:
#   SIDE=core: a file of the core includes only the C++ standard library, nlohmann-json and the core's
#     own headers, so the core builds for any platform and the operating system stays behind the
#     interfaces in platform/.
#   SIDE=backend: a file of the Linux backend includes, of this project, only platform/*.h, the build
#     configuration and its own headers (system and library headers are its to use); the program's
#     main.cpp is the one place that joins the two and is not checked.
#   cmake -DSIDE=core|backend -DFILES="a.cpp|b.h" -P check_includes.cmake
string(REPLACE "|" ";" files "${FILES}")
set(problems "")
foreach(file IN LISTS files)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "<([^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      # Standard headers have no extension; the one library the core may use is nlohmann-json.
      if(SIDE STREQUAL "core" AND header MATCHES "\\." AND NOT header STREQUAL "nlohmann/json.hpp")
        string(APPEND problems "  ${file}: ${line}\n")
      endif()
    elseif(line MATCHES "\"([^\"]+)\"")
      set(header "${CMAKE_MATCH_1}")
      if(SIDE STREQUAL "core")
        set(allowed "^(app|worker|editor|maintenance|platform)/")
        set(refused "^platform/linux/")
      else()
        set(allowed "^(platform/[^/]+\\.h|platform/linux/.*|app/build_config\\.h)$")
        set(refused "^$")
      endif()
      if(NOT header MATCHES "${allowed}" OR header MATCHES "${refused}")
        string(APPEND problems "  ${file}: ${line}\n")
      endif()
    endif()
  endforeach()
endforeach()
if(problems AND SIDE STREQUAL "core")
  message(FATAL_ERROR "The core includes what belongs to a platform backend:\n${problems}")
elseif(problems)
  message(FATAL_ERROR "The Linux backend includes what belongs to the core (pass it in from main.cpp, "
                      "or through a header in platform/):\n${problems}")
endif()
