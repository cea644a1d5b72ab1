# CPack pre-build script: runs once the components are installed in the
# staging directory, before they are packed. Gives every package the files
# Debian requires of it: /usr/share/doc/<package>/copyright and a
# changelog.Debian.gz, and compresses the manual pages (gzip -9n: no name,
# no time stamp, so that the same tree packs to the same bytes).
file(GLOB component_dirs LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(dir IN LISTS component_dirs)
  get_filename_component(component "${dir}" NAME)
  string(TOUPPER "${component}" upper)
  set(package "${CPACK_DEBIAN_${upper}_PACKAGE_NAME}")
  if(NOT IS_DIRECTORY "${dir}" OR NOT package)
    continue()
  endif()
  set(usr "${dir}${CPACK_PACKAGING_INSTALL_PREFIX}")
  set(doc "${usr}/share/doc/${package}")
  file(MAKE_DIRECTORY "${doc}")
  file(COPY "${CPACK_PCMPACK_PACKAGING_DIR}/copyright" DESTINATION "${doc}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  execute_process(COMMAND gzip -9n -c "${CPACK_PCMPACK_PACKAGING_DIR}/changelog"
                  OUTPUT_FILE "${doc}/changelog.Debian.gz" RESULT_VARIABLE status)
  if(status)
    message(FATAL_ERROR "gzip failed on the changelog of ${package}")
  endif()
  file(GLOB_RECURSE pages "${usr}/share/man/*.[1-9]")
  foreach(page IN LISTS pages)
    execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE status)
    if(status)
      message(FATAL_ERROR "gzip failed on ${page}")
    endif()
  endforeach()
endforeach()
