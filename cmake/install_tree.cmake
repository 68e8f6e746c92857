# Install-time part of the installed tree. KIV_SRC, KIV_BIN and KIV_VERSION are set by the
# caller; CMAKE_INSTALL_PREFIX is the prefix of this install (DESTDIR is added by file(INSTALL)).
set(prefix "${CMAKE_INSTALL_PREFIX}")
string(MD5 tag "${prefix}")
set(gen "${KIV_BIN}/install-gen/${tag}")

# Configuration: an operator's edited file survives a reinstall; the shipped one goes beside
# it with ".dist" so the differences can be merged by hand.
file(GLOB_RECURSE conf_files RELATIVE "${KIV_SRC}/config" "${KIV_SRC}/config/*")
foreach(rel ${conf_files})
  get_filename_component(sub "${rel}" DIRECTORY)
  get_filename_component(name "${rel}" NAME)
  set(dst "$ENV{DESTDIR}${prefix}/config/${rel}")
  set(rename "${name}")
  if(EXISTS "${dst}")
    file(SHA256 "${dst}" have)
    file(SHA256 "${KIV_SRC}/config/${rel}" ship)
    if(NOT have STREQUAL ship)
      set(rename "${name}.dist")
      message(STATUS "Kept edited ${dst}; the shipped version is ${name}.dist")
    endif()
  endif()
  set(dir "${prefix}/config")
  if(sub)
    set(dir "${dir}/${sub}")
  endif()
  file(INSTALL FILES "${KIV_SRC}/config/${rel}" DESTINATION "${dir}"
       RENAME "${rename}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

set(KIV_PREFIX "${prefix}")
configure_file("${KIV_SRC}/cmake/qxkiv.pc.in" "${gen}/qxkiv.pc" @ONLY)
configure_file("${KIV_SRC}/cmake/kivhost.service.in" "${gen}/kivhost.service" @ONLY)
file(INSTALL FILES "${gen}/qxkiv.pc" DESTINATION "${prefix}/lib/pkgconfig")
file(INSTALL FILES "${gen}/kivhost.service" DESTINATION "${prefix}/lib/systemd/system")
