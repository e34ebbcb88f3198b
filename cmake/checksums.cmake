# SPDX-License-Identifier: MIT
# Run by CPack after it has made the packages (CPACK_POST_BUILD_SCRIPTS): writes SHA256SUMS
# into the output directory, one "hash  name" line for each package of the run, which
# sha256sum -c checks there.
set(sums "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 ${package} hash)
  cmake_path(GET package FILENAME name)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
if(CPACK_OUTPUT_FILE_PREFIX)
  set(directory ${CPACK_OUTPUT_FILE_PREFIX})
else()
  set(directory ${CPACK_PACKAGE_DIRECTORY})
endif()
file(WRITE ${directory}/SHA256SUMS "${sums}")
