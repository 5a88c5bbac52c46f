# `cmake --install`: the three programs, the desktop entry and its icon, vornik-tool's bash
# completion, the manual pages
# (compressed, as Debian wants them) and the README, in the usual GNU folders.
include(GNUInstallDirs)

# Folders the install creates are world-readable whatever the umask of the one who builds.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

foreach(prog vornik vornik-tool vornik-sim)
  if(TARGET ${prog})
    install(TARGETS ${prog} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(FILES packaging/vornik.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/vornik.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES packaging/vornik-tool.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME vornik-tool)

# gzip -n: no name or time stamp inside, so the same page gives the same bytes.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(VORNIK_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/vornik)
set(compressed)
foreach(page vornik.1 vornik-tool.1 vornik-sim.1)
  set(out ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${page} > ${out}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/docs/man/${page} VERBATIM)
  list(APPEND compressed ${out})
endforeach()
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
set(changelog ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${changelog}
  COMMAND ${GZIP_PROGRAM} -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog > ${changelog}
  DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog VERBATIM)
add_custom_target(vornik_docs ALL DEPENDS ${compressed} ${changelog})

install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES README.md packaging/copyright ${changelog} DESTINATION ${VORNIK_DOC_DIR})
