# Install-time part of the installed tree. KIV_SRC, KIV_BIN, KIV_VERSION and KIV_PART are set by
# the caller; CMAKE_INSTALL_PREFIX is the prefix of this install (DESTDIR is added by
# file(INSTALL)). KIV_PART:
#   runtime  the pkg-config file, in every installation;
#   tree     `make install`'s configuration and unit under the prefix;
#   deb      what only the Debian package has: /etc/qxkiv, the links that keep "@/../config/"
#            resolving, the unit, the man page and the package's documents.
set(prefix "${CMAKE_INSTALL_PREFIX}")
string(MD5 tag "${prefix}")
set(gen "${KIV_BIN}/install-gen/${tag}")
set(KIV_PREFIX "${prefix}")
set(readable PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

if(KIV_PART STREQUAL "runtime")
  configure_file("${KIV_SRC}/cmake/qxkiv.pc.in" "${gen}/qxkiv.pc" @ONLY)
  file(INSTALL FILES "${gen}/qxkiv.pc" DESTINATION "${prefix}/lib/pkgconfig")

elseif(KIV_PART STREQUAL "tree")
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
    file(INSTALL FILES "${KIV_SRC}/config/${rel}" DESTINATION "${dir}" RENAME "${rename}" ${readable})
  endforeach()
  set(KIV_AGENT "${prefix}/bin/kivhost")
  set(KIV_LOGS "${prefix}/logs")
  set(KIV_UNIT_NOTE "Link it in with: systemctl link ${prefix}/lib/systemd/system/kivhost.service")
  configure_file("${KIV_SRC}/cmake/kivhost.service.in" "${gen}/kivhost.service" @ONLY)
  file(INSTALL FILES "${gen}/kivhost.service" DESTINATION "${prefix}/lib/systemd/system")

elseif(KIV_PART STREQUAL "deb")
  set(root "$ENV{DESTDIR}")
  if(root STREQUAL "")
    # Every path below is absolute: without a staging root they would land on this machine.
    message(FATAL_ERROR "the Debian package's part installs only into a staging root (DESTDIR)")
  endif()
  # The package's version is its changelog's; a new upstream version needs an entry there.
  file(STRINGS "${KIV_SRC}/cmake/deb/changelog" top LIMIT_COUNT 1)
  if(NOT top MATCHES "^qxkiv \\(${KIV_VERSION}-[0-9]+\\) ")
    message(FATAL_ERROR "cmake/deb/changelog begins with \"${top}\": add an entry for ${KIV_VERSION}")
  endif()
  # dpkg keeps these as conffiles (cmake/deb.cmake lists them): an edit survives an upgrade.
  file(INSTALL "${KIV_SRC}/config/" DESTINATION /etc/qxkiv
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(MAKE_DIRECTORY "${root}/usr/sbin")
  file(RELATIVE_PATH agent /usr/sbin "${prefix}/bin/kivhost")
  file(CREATE_LINK "${agent}" "${root}/usr/sbin/kivhost" SYMBOLIC)
  # Across top-level directories, so absolute (Debian policy 10.5); the postinst makes the
  # directories they name.
  file(CREATE_LINK /etc/qxkiv "${root}${prefix}/config" SYMBOLIC)
  file(CREATE_LINK /var/lib/qxkiv "${root}${prefix}/var" SYMBOLIC)
  file(CREATE_LINK /var/log/qxkiv "${root}${prefix}/logs" SYMBOLIC)
  set(KIV_AGENT /usr/sbin/kivhost)
  set(KIV_LOGS /var/log/qxkiv)
  set(KIV_UNIT_NOTE "Installed and enabled by the qxkiv package.")
  set(KIV_UNIT_DOCS "Documentation=man:kivhost(8)")
  configure_file("${KIV_SRC}/cmake/kivhost.service.in" "${gen}/deb/kivhost.service" @ONLY)
  file(INSTALL FILES "${gen}/deb/kivhost.service" DESTINATION /lib/systemd/system ${readable})

  find_program(PANDOC pandoc)
  if(NOT PANDOC)
    message(FATAL_ERROR "pandoc is missing (Debian package pandoc, installed by make deps)")
  endif()
  execute_process(COMMAND "${PANDOC}" -f markdown-smart -s -t man -M "footer=qxkiv ${KIV_VERSION}"
                          -o "${gen}/deb/kivhost.8" "${KIV_SRC}/docs/kivhost.8.md"
                  COMMAND_ERROR_IS_FATAL ANY)
  configure_file("${KIV_SRC}/cmake/deb/changelog" "${gen}/deb/changelog.Debian" COPYONLY)
  # -n: no name or time stamp inside, so the same sources give the same package.
  execute_process(COMMAND gzip -9nf "${gen}/deb/kivhost.8" "${gen}/deb/changelog.Debian"
                  COMMAND_ERROR_IS_FATAL ANY)
  file(INSTALL FILES "${gen}/deb/kivhost.8.gz" DESTINATION /usr/share/man/man8 ${readable})
  file(INSTALL FILES "${gen}/deb/changelog.Debian.gz" "${KIV_SRC}/cmake/deb/copyright"
       DESTINATION /usr/share/doc/qxkiv ${readable})
endif()
