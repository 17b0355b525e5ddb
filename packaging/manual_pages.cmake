# The manual pages: velmorix(1) is written by hand, velmorix-cli(1) is made
# from the program's --help text with help2man and velmorix-cli.h2m. Both are
# installed gzipped (velmorix_gzip).
find_program(VELMORIX_HELP2MAN help2man)
if(NOT VELMORIX_HELP2MAN)
  message(FATAL_ERROR
    "help2man was not found; the manual page of velmorix-cli is made with it. "
    "Install the Debian package help2man (apt-get install help2man).")
endif()

set(manual_cli_page ${CMAKE_CURRENT_BINARY_DIR}/velmorix-cli.1)
set(manual_cli_include ${CMAKE_CURRENT_SOURCE_DIR}/velmorix-cli.h2m)
# help2man fills each command's block of --help into one paragraph, the
# synopsis running into the description; the page's DESCRIPTION is laid out
# from the same text by manual_description.awk instead (see there).
set(manual_cli_layout ${CMAKE_CURRENT_SOURCE_DIR}/manual_description.awk)
set(manual_cli_description ${CMAKE_CURRENT_BINARY_DIR}/velmorix-cli-description.h2m)
add_custom_command(
  OUTPUT ${manual_cli_page}
  COMMAND sh -c "\"$0\" --help >\"$2.txt\" && awk -f \"$1\" \"$2.txt\" >\"$2\""
          $<TARGET_FILE:velmorix-cli> ${manual_cli_layout} ${manual_cli_description}
  # In help2man's default locale, C, the Japanese of --help comes out as "?".
  COMMAND ${VELMORIX_HELP2MAN}
          --locale C.UTF-8
          --no-info
          --section 1
          --name "publish a local folder tree to an FTP server from the command line"
          --version-string ${PROJECT_VERSION}
          --source "VELMORIX ${PROJECT_VERSION}"
          --manual "User Commands"
          --include ${manual_cli_description}
          --include ${manual_cli_include}
          --output ${manual_cli_page}
          $<TARGET_FILE:velmorix-cli>
  # --help ends with "This copy:", the log and help page of the copy that
  # runs: the build's paths here, wrong for any installed copy. The page
  # leaves that block out; FILES says where each copy keeps them.
  COMMAND sed -i -e "/^\\.SS \"This copy:\"$/,/^\\.SH /{/^\\.SH /!d;}" ${manual_cli_page}
  # An option whose argument reaches the description's column ("--exclude
  # PATTERN adds ...") would keep the description's first words in its tag.
  COMMAND sed -i -e "/^\\.TP\$/{n;s/^\\(\\\\fB[^ ]*\\\\fR [A-Z][A-Z]*\\) \\([a-z]\\)/\\1\\n\\2/;}"
          ${manual_cli_page}
  DEPENDS velmorix-cli ${manual_cli_include} ${manual_cli_layout}
  COMMENT "Making the manual page velmorix-cli.1 with help2man"
  VERBATIM)

set(manual_gzipped)
set(manual_sources ${manual_cli_page})
if(VELMORIX_BUILD_UI)
  list(APPEND manual_sources ${CMAKE_CURRENT_SOURCE_DIR}/velmorix.1)
endif()
foreach(manual_page ${manual_sources})
  get_filename_component(manual_name ${manual_page} NAME)
  set(manual_gzip_file ${CMAKE_CURRENT_BINARY_DIR}/${manual_name}.gz)
  velmorix_gzip(${manual_page} ${manual_gzip_file})
  list(APPEND manual_gzipped ${manual_gzip_file})
endforeach()

add_custom_target(manual_pages ALL DEPENDS ${manual_gzipped})
install(FILES ${manual_gzipped} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
