# What `cmake --install` puts where (GNUInstallDirs, see QuillInstallDirs.cmake).
# The simulated device library serves tests and the demo and is not installed.
if(WIN32)
  # The Windows archive: the command line and its README at the top.
  install(TARGETS quillmere-photo-cli RUNTIME DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  return()
endif()

install(TARGETS quillmere-photo-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A library opened at run time, not a program: no executable bit (Debian policy).
install(TARGETS quillmobiledevice LIBRARY DESTINATION ${QUILL_INSTALL_LIBRARYDIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(quill_doc "${CMAKE_INSTALL_DATADIR}/doc/quillmere-photo")
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${quill_doc})
install(FILES ${PROJECT_SOURCE_DIR}/data/quillmere-photo-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillmere-photo-cli)

# Manual pages, gzipped as Debian keeps them, with the version filled in.
set(quill_man_pages quillmere-photo-cli)
if(QUILL_BUILD_GUI)
  list(APPEND quill_man_pages quillmere-photo)
endif()
find_program(QUILL_GZIP gzip REQUIRED)
foreach(page ${quill_man_pages})
  configure_file(${PROJECT_SOURCE_DIR}/data/${page}.1.in ${PROJECT_BINARY_DIR}/data/${page}.1 @ONLY)
  add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/data/${page}.1.gz
    COMMAND ${QUILL_GZIP} -9nf -k ${PROJECT_BINARY_DIR}/data/${page}.1
    DEPENDS ${PROJECT_BINARY_DIR}/data/${page}.1)
  list(APPEND quill_man_gz ${PROJECT_BINARY_DIR}/data/${page}.1.gz)
endforeach()
# The Debian changelog, for the package's documentation folder.
execute_process(COMMAND date -u -R -d "${QUILL_RELEASE_DATE} 12:00"
                OUTPUT_VARIABLE QUILL_RELEASE_DATE_RFC2822 OUTPUT_STRIP_TRAILING_WHITESPACE)
configure_file(${PROJECT_SOURCE_DIR}/data/changelog.in ${PROJECT_BINARY_DIR}/data/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/data/changelog.gz
  COMMAND ${QUILL_GZIP} -9nf -k ${PROJECT_BINARY_DIR}/data/changelog
  DEPENDS ${PROJECT_BINARY_DIR}/data/changelog)
add_custom_target(quill_data ALL DEPENDS ${quill_man_gz} ${PROJECT_BINARY_DIR}/data/changelog.gz)
install(FILES ${quill_man_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_BINARY_DIR}/data/changelog.gz DESTINATION ${quill_doc})

if(NOT QUILL_BUILD_GUI)
  return()
endif()
install(TARGETS quillmere-photo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/help/ DESTINATION ${QUILL_INSTALL_HELPDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/${QUILL_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(${PROJECT_SOURCE_DIR}/data/${QUILL_APP_ID}.metainfo.xml.in
               ${PROJECT_BINARY_DIR}/data/${QUILL_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/data/${QUILL_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The icons are drawn by the same code as the window's device picture. A
# sanitizer build's leak report on the library's statics must not stop it.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/icons/scalable/apps/${QUILL_APP_ID}.svg
  COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
          $<TARGET_FILE:make-icons> ${PROJECT_BINARY_DIR}/icons ${QUILL_APP_ID}
  DEPENDS make-icons)
add_custom_target(quill_icons ALL DEPENDS ${PROJECT_BINARY_DIR}/icons/scalable/apps/${QUILL_APP_ID}.svg)
install(DIRECTORY ${PROJECT_BINARY_DIR}/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
