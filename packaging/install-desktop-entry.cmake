# Writes the desktop entry at install time, so it names the binary in the
# prefix actually installed to (cmake --install --prefix may differ from the
# configured one).
file(READ "${LUMORA_PACKAGING_DIR}/org.lumora.Lumora.desktop.in" entry)
string(REPLACE "@LUMORA_BINDIR@" "${CMAKE_INSTALL_PREFIX}/${LUMORA_INSTALL_BINDIR}" entry "${entry}")
set(target "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${LUMORA_INSTALL_DATADIR}/applications/org.lumora.Lumora.desktop")
message(STATUS "Installing: ${target}")
file(WRITE "${target}" "${entry}")
