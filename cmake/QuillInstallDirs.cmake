# Where an installation puts each part, relative to the prefix. The libraries
# of a Debian system live in lib/<multiarch>/ whatever the prefix, and so does
# the program's own library folder unless CMAKE_INSTALL_LIBDIR says otherwise.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND NOT WIN32)
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH "Object code libraries (lib)")
endif()
include(GNUInstallDirs)

set(QUILL_INSTALL_LIBRARYDIR "${CMAKE_INSTALL_LIBDIR}/quillmere-photo")
set(QUILL_INSTALL_HELPDIR "${CMAKE_INSTALL_DATADIR}/quillmere-photo/help")
set(QUILL_APP_ID "org.quillmere.Photo")

# The programs find the library folder and the help pages from their own
# folder, so that a tree installed under one prefix and moved still works.
file(RELATIVE_PATH QUILL_LIBRARY_FROM_PROGRAM "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_PREFIX}/${QUILL_INSTALL_LIBRARYDIR}")
file(RELATIVE_PATH QUILL_HELP_FROM_PROGRAM "${CMAKE_INSTALL_FULL_BINDIR}"
     "${CMAKE_INSTALL_PREFIX}/${QUILL_INSTALL_HELPDIR}")
