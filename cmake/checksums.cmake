# SPDX-License-Identifier: MIT
# Keeps SHA256SUMS beside the packages, one "hash  name" line for each, which sha256sum -c
# checks. Run by CPack after each generator has made its packages (CPACK_POST_BUILD_SCRIPTS).
# A run with two generators (the .deb and the .rpm) calls this once for each: the lines of
# packages made earlier that are still there stay, this run's are added.
if(CPACK_OUTPUT_FILE_PREFIX)
  set(directory ${CPACK_OUTPUT_FILE_PREFIX})
else()
  set(directory ${CPACK_PACKAGE_DIRECTORY})
endif()
set(made "")
set(sums "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 ${package} hash)
  cmake_path(GET package FILENAME name)
  list(APPEND made ${name})
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
if(EXISTS ${directory}/SHA256SUMS)
  file(STRINGS ${directory}/SHA256SUMS earlier)
  foreach(line IN LISTS earlier)
    string(REGEX REPLACE "^[0-9a-f]+  " "" name "${line}")
    if(NOT name IN_LIST made AND EXISTS ${directory}/${name})
      string(PREPEND sums "${line}\n")
    endif()
  endforeach()
endif()
file(WRITE ${directory}/SHA256SUMS "${sums}")
