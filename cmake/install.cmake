# What `cmake --install` puts where, the manual pages, and the Debian package.
#
# Layout under the prefix (GNUInstallDirs; nothing depends on the prefix, so
# an installed tree can be moved or unpacked anywhere):
#   sbin/Quillon                             run by root and by update agents
#   bin/pxtool                               the package author's tool
#   share/man/man{1,5,8}/*.gz                pxtool(1), px.arg(5), Quillon(8)
#   share/bash-completion/completions/       Quillon, pxtool
#   share/doc/quillon/                       README, design notes, formats,
#                                            faults, pxtool's JSON, check
#                                            rules, copyright
#   share/quillon/examples/hello/            the example package
#   share/quillon/schemas/                   JSON Schemas of pxtool's JSON
#   lib/systemd/system/quillon-resume.service  resumes packages at boot;
#                                            installed, never enabled
# The Debian package adds share/doc/quillon/changelog.Debian.gz. The test
# build with the fake reboot program, the tests, benchmarks and fuzz targets
# are never installed.
#
# The manual pages are written in scdoc (docs/man/*.scd) and turned into roff
# at build time; without scdoc they are neither built nor installed (a
# warning says so). `cmake --build build --target package` (or `cpack -G DEB`
# in the build tree) builds quillon_<version>-1_<arch>.deb.

include(GNUInstallDirs)

set(QUILLON_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quillon)

install(TARGETS Quillon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET pxtool)
  install(TARGETS pxtool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/design.md
              ${CMAKE_SOURCE_DIR}/docs/formats.md ${CMAKE_SOURCE_DIR}/docs/faults.md
              ${CMAKE_SOURCE_DIR}/docs/json.md ${CMAKE_SOURCE_DIR}/docs/check-rules.md
              ${CMAKE_SOURCE_DIR}/packaging/debian/copyright
        DESTINATION ${QUILLON_DOC_DIR})
# Every docs/schemas/<schema>.schema.json: readers check pxtool's JSON
# against them, so they go where documentation is never left out.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/schemas/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon/schemas
        FILES_MATCHING PATTERN "*.schema.json")
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon/examples
        USE_SOURCE_PERMISSIONS  # the example's scripts are executable
        PATTERN traps EXCLUDE)  # deliberately broken: for pxtool check only
install(FILES ${CMAKE_SOURCE_DIR}/scripts/completion/Quillon
              ${CMAKE_SOURCE_DIR}/scripts/completion/pxtool
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The resume service: its ExecStart names pxtool where this installation
# puts it, so the unit is written at install time, with the prefix then in
# force (under DESTDIR when one is set).
install(CODE "set(QUILLON_UNIT_SOURCE \"${CMAKE_SOURCE_DIR}/systemd/quillon-resume.service.in\")
set(QUILLON_UNIT_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(CODE [[
  file(READ "${QUILLON_UNIT_SOURCE}" unit)
  string(REPLACE "@PXTOOL@" "${CMAKE_INSTALL_PREFIX}/${QUILLON_UNIT_BINDIR}/pxtool" unit "${unit}")
  set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
  message(STATUS "Installing: ${dir}/quillon-resume.service")
  file(MAKE_DIRECTORY "${dir}")
  file(WRITE "${dir}/quillon-resume.service" "${unit}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${dir}/quillon-resume.service")
]])

# Manual pages: docs/man/NAME.SECTION.scd -> build/man/NAME.SECTION (roff,
# for `man -l`) and NAME.SECTION.gz (installed). @PROJECT_VERSION@ in the
# sources is filled in first.
find_program(QUILLON_SCDOC scdoc)
find_program(QUILLON_GZIP gzip)
if(QUILLON_SCDOC AND QUILLON_GZIP)
  set(QUILLON_MAN_PAGES Quillon.8 pxtool.1 px.arg.5)
  set(QUILLON_MAN_OUTPUTS)
  foreach(page ${QUILLON_MAN_PAGES})
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    configure_file(${CMAKE_SOURCE_DIR}/docs/man/${page}.scd ${out}.scd @ONLY)
    add_custom_command(
        OUTPUT ${out} ${out}.gz
        COMMAND sh -c "\"$0\" < \"$1.scd\" > \"$1\" && \"$2\" -9nc \"$1\" > \"$1.gz\""
                ${QUILLON_SCDOC} ${out} ${QUILLON_GZIP}
        DEPENDS ${out}.scd
        COMMENT "Manual page ${page}"
        VERBATIM)
    string(REGEX REPLACE ".*\\." "" section ${page})
    install(FILES ${out}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
    list(APPEND QUILLON_MAN_OUTPUTS ${out}.gz)
  endforeach()
  add_custom_target(man ALL DEPENDS ${QUILLON_MAN_OUTPUTS})
  # The pages as a reader sees them, checked for lost code fences and markup
  # left in the text (tests/man_render_test.sh; man-db's man and col).
  find_program(QUILLON_MAN man)
  find_program(QUILLON_COL col)
  if(QUILLON_MAN AND QUILLON_COL)
    list(TRANSFORM QUILLON_MAN_PAGES PREPEND ${CMAKE_BINARY_DIR}/man/
         OUTPUT_VARIABLE pages)
    list(TRANSFORM pages APPEND .scd)
    add_test(NAME man_pages_render
             COMMAND bash ${CMAKE_SOURCE_DIR}/tests/man_render_test.sh
                     ${QUILLON_SCDOC} ${pages})
  endif()
else()
  message(WARNING "scdoc or gzip not found: the manual pages are not built "
                  "or installed (bash scripts/setup.sh package installs scdoc)")
endif()

# The Debian changelog belongs to the package only: a component outside the
# default installation that CPack adds below.
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in
               ${CMAKE_BINARY_DIR}/packaging/changelog.Debian @ONLY)
if(QUILLON_GZIP)
  add_custom_command(
      OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
      COMMAND sh -c "\"$0\" -9nc \"$1\" > \"$1.gz\""
              ${QUILLON_GZIP} ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
      DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian
      VERBATIM)
  add_custom_target(debian_changelog ALL
                    DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
          DESTINATION ${QUILLON_DOC_DIR} COMPONENT debian EXCLUDE_FROM_ALL)
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VENDOR "Kelvane Systems")
set(CPACK_PACKAGE_CONTACT "Kelvane Systems <quillon@kelvane.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "runs one unpacked update package on a Linux server")
# The summary above is the synopsis line; this is the extended description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Quillon carries out one unpacked firmware or software update package as
root. The package's argument file, px.arg, names its files and, for each
run mode, the commands to run and how their return codes are judged.
Quillon stages the package files (descrambling scrambled ones), runs the
commands one by one, marks each command line before it starts so that a
run resumes after a reboot, and reports through a status file, a run log
and its return code.
.
pxtool checks and plans a package before it runs, signs and verifies
packages, shows where a package stands and what its runs did (with the
commands' own output), re-arms it, scrambles and inspects package files and
prints Quillon's trace. An example package is included.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # quillon_3.3.5-1_amd64.deb
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};Quillon;ALL;/"
    "${CMAKE_BINARY_DIR};Quillon;debian;/")
include(CPack)
