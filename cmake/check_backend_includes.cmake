# Fails when a file of the Linux backend includes a header of the core: the backend sees only the
# interfaces in platform/, the build configuration and its own headers (and system and library
# headers). The program's main.cpp is the one place that joins the two, and is not checked.
#   cmake -DFILES="a.cpp|b.h" -P check_backend_includes.cmake
string(REPLACE "|" ";" files "${FILES}")
set(problems "")
foreach(file IN LISTS files)
  file(STRINGS "${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(line IN LISTS lines)
    if(line MATCHES "\"([^\"]+)\"")
      set(header "${CMAKE_MATCH_1}")
      if(NOT header MATCHES "^platform/[^/]+\\.h$" AND NOT header MATCHES "^platform/linux/"
         AND NOT header STREQUAL "app/build_config.h")
        string(APPEND problems "  ${file}: ${line}\n")
      endif()
    endif()
  endforeach()
endforeach()
if(problems)
  message(FATAL_ERROR "The Linux backend includes what belongs to the core (pass it in from main.cpp, "
                      "or through a header in platform/):\n${problems}")
endif()
