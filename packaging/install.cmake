# What an installed Flintor consists of: the programs, the desktop entry, the
# icon, the AppStream metainfo and the manual pages. Included at the end of
# the top-level CMakeLists.txt, since it looks at which programs exist.
set(FLINTOR_APP_ID org.example.Flintor)
set(pkg_src ${CMAKE_CURRENT_LIST_DIR})
set(pkg_bin ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${pkg_bin})

install(TARGETS flintor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET flintor-cli)
  install(TARGETS flintor-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES ${pkg_src}/${FLINTOR_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${pkg_src}/${FLINTOR_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
foreach(size 16 32 48 64 128 256)
  install(FILES ${pkg_src}/icons/${size}x${size}/${FLINTOR_APP_ID}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# The metainfo names every program it provides and the screenshots' size.
set(FLINTOR_PROVIDES_CLI "")
if(TARGET flintor-cli)
  set(FLINTOR_PROVIDES_CLI "\n    <binary>flintor-cli</binary>")
endif()
set(FLINTOR_SHOT_WIDTH 330)
set(FLINTOR_SHOT_HEIGHT 384)
configure_file(${pkg_src}/${FLINTOR_APP_ID}.metainfo.xml.in ${pkg_bin}/${FLINTOR_APP_ID}.metainfo.xml @ONLY)
install(FILES ${pkg_bin}/${FLINTOR_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages, made from each program's --help and --version output (which
# need no display). Without help2man the build goes on without them.
find_program(HELP2MAN help2man)
find_program(GZIP gzip)
if(HELP2MAN AND GZIP)
  set(flintor_man_targets flintor)
  if(TARGET flintor-cli)
    list(APPEND flintor_man_targets flintor-cli)
  endif()
  set(summary_flintor "prepare a camera's memory card for add-on firmware")
  set(summary_flintor-cli "prepare a camera's memory card for add-on firmware, without a window")
  set(man_pages "")
  foreach(program IN LISTS flintor_man_targets)
    set(page ${pkg_bin}/${program}.1.gz)
    # Extra sections of the page, when the program has them.
    set(include_args "")
    set(include_deps "")
    if(EXISTS ${pkg_src}/${program}.h2m)
      set(include_args --include=${pkg_src}/${program}.h2m)
      set(include_deps ${pkg_src}/${program}.h2m)
    endif()
    add_custom_command(
      OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
              ${HELP2MAN} --no-info --section=1 "--name=${summary_${program}}"
              --version-string=${PROJECT_VERSION} ${include_args}
              --output=${pkg_bin}/${program}.1 $<TARGET_FILE:${program}>
      COMMAND ${GZIP} -9nf ${pkg_bin}/${program}.1
      DEPENDS ${program} ${include_deps}
      COMMENT "Manual page of ${program}"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(flintor_man ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(STATUS "help2man or gzip not found: no manual pages")
endif()
