# Run by CPack after packaging: puts the -dbgsym package CPack made into
# the shape Debian gives its own. CPack lists the staging folder's absolute
# paths in its md5sums and leaves the debug files executable; Debian's
# dbgsym packages list relative paths, keep the files 0644 and take their
# copyright and changelog from the package they belong to through a link.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "/([^/]+)-dbgsym_[^/]*\\.ddeb$")
    continue()
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(root "${CPACK_TOPLEVEL_DIRECTORY}/dbgsym-root")
  file(REMOVE_RECURSE "${root}")
  execute_process(COMMAND dpkg-deb -R "${package}" "${root}"
                  COMMAND_ERROR_IS_FATAL ANY)

  file(GLOB_RECURSE debug_files LIST_DIRECTORIES false RELATIVE "${root}"
       "${root}/usr/*")
  list(SORT debug_files)
  set(md5sums "")
  foreach(file IN LISTS debug_files)
    file(CHMOD "${root}/${file}" FILE_PERMISSIONS
         OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(MD5 "${root}/${file}" sum)
    string(APPEND md5sums "${sum}  ${file}\n")
  endforeach()
  file(WRITE "${root}/DEBIAN/md5sums" "${md5sums}")

  file(MAKE_DIRECTORY "${root}/usr/share/doc")
  file(CREATE_LINK "${name}" "${root}/usr/share/doc/${name}-dbgsym" SYMBOLIC)
  execute_process(COMMAND dpkg-deb --root-owner-group -b "${root}" "${package}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${root}")
endforeach()
