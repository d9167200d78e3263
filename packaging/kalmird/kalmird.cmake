# The watch service in the package: the program, its systemd unit (installed,
# not enabled), its system user, an example configuration kept as a conffile,
# a Mosquitto bridge example, and its manual page. Included by packaging/CMakeLists.txt before CPack.
install(TARGETS kalmird RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES kalmird/kalmird.service DESTINATION lib/systemd/system)
install(FILES kalmird/kalmird.sysusers DESTINATION lib/sysusers.d RENAME kalmird.conf)
install(FILES kalmird/kalmird.toml DESTINATION /etc/kalmir)
# A site broker's bridge to its head office, for the administrator to copy.
install(FILES kalmird/mosquitto-bridge.conf DESTINATION ${KALMIR_DOC_DIR}/examples)
set(kalmird_man ${CMAKE_CURRENT_BINARY_DIR}/kalmird.8.gz)
add_custom_command(OUTPUT ${kalmird_man}
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/kalmird/kalmird.8 > ${kalmird_man}
  DEPENDS kalmird/kalmird.8)
add_custom_target(kalmird_man ALL DEPENDS ${kalmird_man})
install(FILES ${kalmird_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_SOURCE_DIR}/kalmird/postinst ${CMAKE_CURRENT_SOURCE_DIR}/kalmird/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS mosquitto)
