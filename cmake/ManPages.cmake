# Man pages made at build time from each program's --help and --version
# output by help2man (Debian's help2man), installed under share/man/man1.
# Without help2man the programs build and install all the same, without
# their pages (a STATUS line says so).
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
  message(STATUS "help2man not found: no man pages (install help2man to have them)")
endif()
add_custom_target(man_pages ALL)

# phasegrid_man_page(NAME COMMAND... DESCRIPTION text): NAME.1 from what
# `COMMAND --help` and `COMMAND --version` print. COMMAND is run under the
# installed name NAME (a link in the build tree) so that the page names it.
function(phasegrid_man_page name)
  cmake_parse_arguments(M "" "DESCRIPTION;PROGRAM" "DEPENDS" ${ARGN})
  if(NOT HELP2MAN)
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/man)
  set(page ${dir}/${name}.1)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}/bin
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${M_PROGRAM} ${dir}/bin/${name}
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --name=${M_DESCRIPTION} --output=${page} ${dir}/bin/${name}
    DEPENDS ${M_DEPENDS}
    COMMENT "Man page ${name}.1"
    VERBATIM)
  add_custom_target(man_${name} DEPENDS ${page})
  add_dependencies(man_pages man_${name})
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()
