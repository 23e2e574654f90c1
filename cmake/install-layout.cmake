# Where `cmake --install` (and so the Debian package) puts the command, the
# filter library and the bundled example, relative to the install prefix.
# The command finds its library and the example site by these same relative
# paths from its own directory, so an installed tree works wherever its root
# is (/usr, or a scratch root in the tests).
include(GNUInstallDirs)
# The library is a plugin that only tagsmith (and a server) loads by its
# path, so it goes in a directory of its own under the multiarch library
# directory (lib/x86_64-linux-gnu/tagsmith on Debian), whatever the prefix,
# so that every build tree packages alike. It has no soname and needs no
# ldconfig.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(TAGSMITH_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/tagsmith)
else()
  set(TAGSMITH_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR}/tagsmith)
endif()
set(TAGSMITH_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/tagsmith)
file(RELATIVE_PATH TAGSMITH_LIBDIR_FROM_BINDIR
  /${CMAKE_INSTALL_BINDIR} /${TAGSMITH_INSTALL_LIBDIR})
file(RELATIVE_PATH TAGSMITH_DATADIR_FROM_BINDIR
  /${CMAKE_INSTALL_BINDIR} /${TAGSMITH_INSTALL_DATADIR})
