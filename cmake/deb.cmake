# The Debian package, built by CPack (`make deb`, or cpack in any build tree): the runtime part
# of the installed tree under /usr/lib/qxkiv, and the "deb" part of cmake/install_tree.cmake,
# which `make install` leaves out. The tree keeps the staged shape inside the FHS: config, var
# and logs are links to /etc/qxkiv, /var/lib/qxkiv and /var/log/qxkiv.
kiv_install_part(deb EXCLUDE_FROM_ALL)

set(KIV_DEB_DIR ${CMAKE_BINARY_DIR}/deb)
# Every shipped configuration file is a conffile.
file(GLOB_RECURSE kiv_conf RELATIVE ${CMAKE_SOURCE_DIR}/config CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/config/*)
list(SORT kiv_conf)
list(TRANSFORM kiv_conf PREPEND /etc/qxkiv/)
list(JOIN kiv_conf "\n" kiv_conf)
file(CONFIGURE OUTPUT ${KIV_DEB_DIR}/conffiles CONTENT "${kiv_conf}\n")

# The version is the changelog's top entry, as dpkg-gencontrol takes it.
file(STRINGS ${CMAKE_SOURCE_DIR}/cmake/deb/changelog kiv_top LIMIT_COUNT 1)
string(REGEX REPLACE "^qxkiv \\(([^)]+)\\).*" "\\1" CPACK_DEBIAN_PACKAGE_VERSION "${kiv_top}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qxkiv)
set(CPACK_PACKAGE_CONTACT "qxkiv developers <qxkiv@example.org>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Absolute destinations (/etc, /lib, /usr/sbin) need the staging root as DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr/lib/qxkiv)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr/lib/qxkiv)
set(CPACK_COMPONENTS_ALL runtime deb)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Linux host security sensor (libqxkiv) and its agent kivhost")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
The sensor library reports the process, file, network and DNS activity of
the host, and lines of the logs it is told to follow, as JSON documents.
kivhost runs it and delivers every document at least once, in order, to
files, syslog or Kafka, spooling to disk what an output cannot take yet.

The service kivhost.service is enabled and started on installation; the
configuration is in /etc/qxkiv, see kivhost(8).]])
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/cmake/deb/postinst
    ${CMAKE_SOURCE_DIR}/cmake/deb/prerm ${CMAKE_SOURCE_DIR}/cmake/deb/postrm ${KIV_DEB_DIR}/conffiles)
# Scripts 0755, conffiles 0644, whatever the checkout gave them.
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
