# Writes the user unit at install time, so it names lumora-cli in the prefix
# actually installed to; systemd user units live in lib/systemd/user.
file(READ "${LUMORA_PACKAGING_DIR}/lumora-restore.service" unit)
string(REPLACE "@LUMORA_CLI_INSTALLED@" "${CMAKE_INSTALL_PREFIX}/${LUMORA_INSTALL_BINDIR}/lumora-cli" unit "${unit}")
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/user/lumora-restore.service")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${unit}")
