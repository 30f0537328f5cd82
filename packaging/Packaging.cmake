# What `cmake --install` puts in place besides the programs (each installed
# by its own folder), and how `cpack -G DEB` makes a Debian package of it.

if(NOT WIN32)
  find_program(TOVREL_GZIP gzip REQUIRED)
  set(packaging_out ${CMAKE_BINARY_DIR}/packaging)
  set(packaging_gz)
  file(MAKE_DIRECTORY ${packaging_out}/man ${packaging_out}/doc)
  # Debian wants man pages and changelogs compressed with gzip -9n (-n: no
  # name or time stored, so the same sources make the same bytes).
  function(tovrel_gzip source name)
    set(plain ${packaging_out}/${name})
    add_custom_command(OUTPUT ${plain}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${plain}
      COMMAND ${TOVREL_GZIP} -9nf ${plain}
      DEPENDS ${source}
      COMMENT "Compressing ${name}"
      VERBATIM)
    set(packaging_gz ${packaging_gz} ${plain}.gz PARENT_SCOPE)
  endfunction()

  # A man page for each program this build installs.
  set(man_pages tovrel-cli)
  if(TARGET tovrel)
    list(APPEND man_pages tovrel)
  endif()
  if(TARGET tovrel-sim)
    list(APPEND man_pages tovrel-sim)
  endif()
  foreach(page ${man_pages})
    tovrel_gzip(${PROJECT_SOURCE_DIR}/docs/${page}.1 man/${page}.1)
    install(FILES ${packaging_out}/man/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endforeach()

  # Packaged here, not by Debian: a native package, whose changelog is
  # changelog.gz (lintian wants no changelog.Debian.gz for it).
  # The read-me is the manual that tovrel(1) points to; over 4 kB, so
  # compressed as Debian wants.
  set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/tovrel)
  tovrel_gzip(${CMAKE_CURRENT_LIST_DIR}/changelog doc/changelog)
  tovrel_gzip(${PROJECT_SOURCE_DIR}/README.md doc/README.md)
  install(FILES ${packaging_out}/doc/changelog.gz ${packaging_out}/doc/README.md.gz ${CMAKE_CURRENT_LIST_DIR}/copyright
          DESTINATION ${doc_dir})
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          RENAME tovrel)
  add_custom_target(tovrel_compressed_docs ALL DEPENDS ${packaging_gz})

  # A stripped install (the package's) also loses the compiler's notes, as
  # Debian's own packages do. Runs after the programs are in place.
  install(CODE "set(tovrel_strip \"${CMAKE_STRIP}\")")
  install(CODE [[
    if(CMAKE_INSTALL_DO_STRIP AND tovrel_strip)
      file(GLOB programs "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/tovrel*")
      foreach(program ${programs})
        execute_process(COMMAND "${tovrel_strip}" --remove-section=.comment --remove-section=.note "${program}"
                        COMMAND_ERROR_IS_FATAL ANY)
      endforeach()
    endif()
  ]])
endif()

if(WIN32)
  # `cpack -G ZIP`: the two programs, a short read-me, the manual (the
  # project's read-me, which the short one names) and the licence.
  install(FILES ${PROJECT_SOURCE_DIR}/docs/windows-readme.txt DESTINATION . RENAME README.txt)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION docs)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
endif()

set(CPACK_PACKAGE_NAME tovrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tovrel")
# No mail host of its own yet: lintian-overrides says so.
set(CPACK_PACKAGE_CONTACT "Tovrel developers <tovrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control panel for a USB host module on a serial port")
file(READ ${CMAKE_CURRENT_LIST_DIR}/description CPACK_PACKAGE_DESCRIPTION)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/description)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window's texts are Chinese: without such a font they show as boxes;
# Qt's own translations make its file dialog and edit menus Chinese too.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei | fonts-wqy-zenhei, qt6-translations-l10n")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
include(CPack)
