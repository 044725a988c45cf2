# The Debian package (./lumora.sh package): cpack -G DEB in a tree configured
# with CMAKE_INSTALL_PREFIX=/usr, so the paths compiled in are the installed ones.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lumora)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Lumora developers <lumora@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control centre for USB conference cameras with AI framing")
set(CPACK_PACKAGE_DESCRIPTION "Lumora lists USB video-conferencing cameras as they are plugged in, shows
their preview, adjusts their UVC controls and vendor features (AI framing,
HDR, anti-flicker, field of view), keeps per-camera settings and presets,
and upgrades or rescues their firmware. lumora-cli does the same from scripts,
prints metrics for node_exporter and drives the lumora.cameras Ansible
collection.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# 7z unpacks firmware packages. udev applies the rule, but a machine without it
# (a container) still runs Lumora.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "p7zip-full")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "udev")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/postinst ${CMAKE_CURRENT_LIST_DIR}/debian/postrm)
set(CPACK_STRIP_FILES ON)
include(CPack)

# Debian's rules for every package: a copyright file, and the changelog and
# manual page compressed (gzip -n: the same bytes on every build).
set(LUMORA_GZ_DIR ${CMAKE_BINARY_DIR}/gz)
set(LUMORA_GZ_FILES)
foreach(source packaging/lumora.1 packaging/lumora-cli.1 packaging/debian/changelog)
  get_filename_component(name ${source} NAME)
  add_custom_command(OUTPUT ${LUMORA_GZ_DIR}/${name}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/${source} ${LUMORA_GZ_DIR}/${name}
    COMMAND gzip -9nf ${LUMORA_GZ_DIR}/${name}
    DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND LUMORA_GZ_FILES ${LUMORA_GZ_DIR}/${name}.gz)
endforeach()
add_custom_target(lumora-gz ALL DEPENDS ${LUMORA_GZ_FILES})
install(FILES ${LUMORA_GZ_DIR}/lumora.1.gz ${LUMORA_GZ_DIR}/lumora-cli.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${LUMORA_GZ_DIR}/changelog.gz packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/lumora)
