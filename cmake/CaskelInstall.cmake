# cmake --install: the two programs, their man pages, shell completions and a systemd user
# unit. Paths are relative to the prefix, so `make install` puts them under ~/.local.
include(GNUInstallDirs)

# Everything here is the `caskel` package's part (CaskelPackage.cmake); a plain install takes it all.
install(TARGETS caskel caskeld RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT caskel)
# The package installs them compressed (CaskelPackage.cmake).
if(NOT CASKEL_PACKAGING)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/caskel.1 ${PROJECT_SOURCE_DIR}/docs/man/caskeld.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT caskel)
endif()

# The scripts come from the tool itself, so they always know its commands.
set(completion_dir ${PROJECT_BINARY_DIR}/completions)
set(completion_files)
foreach(shell_name bash zsh fish)
  set(out ${completion_dir}/caskel.${shell_name})
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${completion_dir}
    COMMAND ${CMAKE_COMMAND} -DCASKEL=$<TARGET_FILE:caskel> -DSHELL_NAME=${shell_name} -DOUTPUT=${out}
      -P ${PROJECT_SOURCE_DIR}/cmake/WriteCompletion.cmake
    DEPENDS caskel ${PROJECT_SOURCE_DIR}/cmake/WriteCompletion.cmake
    COMMENT "Writing the ${shell_name} completion of caskel" VERBATIM)
  list(APPEND completion_files ${out})
endforeach()
add_custom_target(caskel_completions ALL DEPENDS ${completion_files})

# Where bash-completion, zsh (Debian's vendor folder) and fish look for them.
install(FILES ${completion_dir}/caskel.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME caskel COMPONENT caskel)
install(FILES ${completion_dir}/caskel.zsh
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions RENAME _caskel COMPONENT caskel)
install(FILES ${completion_dir}/caskel.fish
  DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d RENAME caskel.fish COMPONENT caskel)

# The unit names caskeld by its installed path, which is known only when installing
# (`cmake --install --prefix` may choose another prefix than the configured one), so it is
# written straight into the prefix: no shared file in the build tree for two installs to race on.
# share/systemd/user: the user manager looks there under ~/.local, /usr/local and /usr alike;
# Debian's packages put theirs in /usr/lib/systemd/user, so the package build says so.
set(CASKEL_USER_UNIT_DIR ${CMAKE_INSTALL_DATADIR}/systemd/user CACHE STRING
  "Where the systemd user unit goes, relative to the prefix")
install(CODE "
  set(CASKELD_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/caskeld\")
  set(unit \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CASKEL_USER_UNIT_DIR}/caskeld.service\")
  message(STATUS \"Installing: \${unit}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/dist/caskeld.service.in\" \"\${unit}\" @ONLY
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${unit}\")
" COMPONENT caskel)
