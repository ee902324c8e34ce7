# The Debian package (scripts/package runs cpack in a build folder): the install rules of the
# build as /usr, its dependencies read from the programs by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VENDOR "Orvane maintainers")
set(CPACK_PACKAGE_CONTACT "Orvane maintainers <maintainers@users.noreply.c-seed-d4324043.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "export role-based-services objects of NDS trees as XML")
# The extended description's lines as they appear (CPack indents them; an empty line is a new
# paragraph): at most 80 characters each, as lintian asks.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
Orvane is a tool for administrators of NDS/eDirectory trees. It lists the
trees its directory client is connected to, browses their containers, finds
the modules, categories, roles, property books and tasks of the role-based
services below a start container, lets you mark the ones to export, and
shows and saves them as one install XML document.

It reads LDIF files and live LDAP servers and never changes the directory.
orvane-export runs the same export from a script.]])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ORVANE_DEBIAN_REVISION})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window keeps remembered passwords in the desktop's secret service and is laid out for
# Arial's widths, which Liberation Sans has; without them it still works.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring, fonts-liberation2")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
