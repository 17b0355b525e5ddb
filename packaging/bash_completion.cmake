# Completion of velmorix-cli in bash, where bash-completion looks for it.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/velmorix-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME velmorix-cli)
