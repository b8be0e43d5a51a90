# Packages made with CPack: a Debian package of the whole program on Linux
# (scripts/package), a ZIP of the command line and its README on Windows.
set(CPACK_PACKAGE_NAME quillmere-photo)
set(CPACK_PACKAGE_VENDOR Quillmere)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillmere Photo developers <photo@quillmere.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "copies the photos of an iPod, iPhone or iPad to this computer")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME quillmere-photo-cli-${PROJECT_VERSION}-windows-x64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillmere.org/")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # The package's own library folder holds the mobile device library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${CMAKE_INSTALL_PREFIX}/${QUILL_INSTALL_LIBRARYDIR}")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "usbmuxd, udisks2")
  # The summary above is the synopsis line; this is the extended description.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillmere Photo reads the photo library of an iPod in disk mode and of an
iPhone, iPod touch or iPad, and copies the selected photos into a folder:
stored images are decoded and written as JPEG files, original files and
camera files are copied as they are. It never writes to the device, never
overwrites a file and never leaves a half-written file behind.
.
The package holds the window (quillmere-photo), the command line
(quillmere-photo-cli) and the mobile device library that reaches iOS
devices through libimobiledevice and the usbmuxd service.")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)
