# Writes the systemd user units at install time, so they name lumora-cli in
# the prefix actually installed to; user units live in lib/systemd/user.
foreach(name lumora-restore.service lumora-metrics.service lumora-metrics.timer)
  file(READ "${LUMORA_PACKAGING_DIR}/${name}" unit)
  string(REPLACE "@LUMORA_CLI_INSTALLED@" "${CMAKE_INSTALL_PREFIX}/${LUMORA_INSTALL_BINDIR}/lumora-cli" unit "${unit}")
  set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/user/${name}")
  message(STATUS "Installing: ${target}")
  file(WRITE "${target}" "${unit}")
endforeach()
