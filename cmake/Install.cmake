# What `cmake --install` puts where: the programs, their manual pages, the
# service files, the shell completion and the Wireshark dissector, at the
# places Debian expects them when the prefix is /usr (as for the packages,
# which debian/rules builds from this and splits per role: debian/*.install).

include(GNUInstallDirs)

# With the prefix /usr the service files go to the system's own folders
# (/lib/systemd/system and /lib/udev/rules.d as Debian 12 has them,
# /etc/init.d, /etc/default);
# with any other prefix they stay below it.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(orvo_unit_dir /lib/systemd/system)
  set(orvo_udev_dir /lib/udev/rules.d)
else()
  set(orvo_unit_dir lib/systemd/system)
  set(orvo_udev_dir lib/udev/rules.d)
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_SYSCONFDIR}" OR CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(orvo_sysconf_dir "${CMAKE_INSTALL_FULL_SYSCONFDIR}")
else()
  set(orvo_sysconf_dir "${CMAKE_INSTALL_SYSCONFDIR}")
endif()

# Full paths, as the service files and the manual name them.
function(orvo_full_path out path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${path}" PARENT_SCOPE)
  endif()
endfunction()
orvo_full_path(ORVO_DAEMON_PATH "${CMAKE_INSTALL_SBINDIR}/orvo-udpd")
orvo_full_path(ORVO_DEFAULTS_FILE "${orvo_sysconf_dir}/default/orvo-udpd")
orvo_full_path(orvo_unit_file "${orvo_unit_dir}/orvo-udpd.service")
orvo_full_path(orvo_init_file "${orvo_sysconf_dir}/init.d/orvo-udpd")
orvo_full_path(ORVO_EXPORTER_PATH "${CMAKE_INSTALL_BINDIR}/orvo-exporter")
orvo_full_path(ORVO_EXPORTER_DEFAULTS_FILE "${orvo_sysconf_dir}/default/orvo-exporter")
orvo_full_path(ORVO_PANEL_PATH "${CMAKE_INSTALL_BINDIR}/orvo-panel")
orvo_full_path(ORVO_PANEL_DEFAULTS_FILE "${orvo_sysconf_dir}/default/orvo-panel")

# The LED class device that only the appliance has: the service files start
# the daemon only where it exists.
set(ORVO_APPLIANCE_DEVICE /sys/class/leds/led1r)
get_filename_component(ORVO_APPLIANCE_LED ${ORVO_APPLIANCE_DEVICE} NAME)

set(orvo_dist ${PROJECT_BINARY_DIR}/dist)
configure_file(dist/orvo-udpd.service.in ${orvo_dist}/orvo-udpd.service @ONLY)
configure_file(dist/orvo-udpd.init.in ${orvo_dist}/orvo-udpd @ONLY)
configure_file(dist/orvo-exporter.service.in ${orvo_dist}/orvo-exporter.service @ONLY)
configure_file(dist/orvo-panel.service.in ${orvo_dist}/orvo-panel.service @ONLY)
configure_file(dist/orvo-udpd.rules.in ${orvo_dist}/orvo-udpd.rules @ONLY)

# Manual pages: the version and the paths filled in, then compressed.
string(REPLACE "-" "\\-" ORVO_MAN_UNIT "${orvo_unit_file}")
string(REPLACE "-" "\\-" ORVO_MAN_INIT "${orvo_init_file}")
string(REPLACE "-" "\\-" ORVO_MAN_DEFAULTS "${ORVO_DEFAULTS_FILE}")
function(orvo_manual target)
  set(gzipped)
  foreach(page ${ARGN})
    configure_file(man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
    add_custom_command(
      OUTPUT ${PROJECT_BINARY_DIR}/man/${page}.gz
      COMMAND gzip -9 -n -c ${page} > ${page}.gz
      DEPENDS ${PROJECT_BINARY_DIR}/man/${page}
      WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/man
      VERBATIM)
    list(APPEND gzipped ${PROJECT_BINARY_DIR}/man/${page}.gz)
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${gzipped})
endfunction()
orvo_manual(orvo_manuals orvo-udpd.8 orvo-udpc.1)

install(TARGETS orvo-udpd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS orvo-udpc RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_BINARY_DIR}/man/orvo-udpd.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_BINARY_DIR}/man/orvo-udpc.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${orvo_dist}/orvo-udpd.service DESTINATION ${orvo_unit_dir})
install(PROGRAMS ${orvo_dist}/orvo-udpd DESTINATION ${orvo_sysconf_dir}/init.d)
install(FILES ${orvo_dist}/orvo-udpd.rules DESTINATION ${orvo_udev_dir} RENAME 60-orvo-udpd.rules)
install(FILES dist/orvo-udpc.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME orvo-udpc)
# The Wireshark dissector, in the folder of Lua plugins that Wireshark and
# tshark load by themselves (`tshark -G folders`: "Global Lua Plugins").
install(FILES dist/orvo.lua DESTINATION ${CMAKE_INSTALL_LIBDIR}/wireshark/plugins)

# The exporter (the monitoring host's program), its unit and its options.
# Deferred to the end of the project's CMakeLists.txt, where its target is
# known.
function(orvo_install_exporter)
  if(NOT TARGET orvo-exporter)
    return()
  endif()
  orvo_manual(orvo_exporter_manual orvo-exporter.1)
  install(TARGETS orvo-exporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/man/orvo-exporter.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${orvo_dist}/orvo-exporter.service DESTINATION ${orvo_unit_dir})
  install(FILES dist/orvo-exporter.default DESTINATION ${orvo_sysconf_dir}/default
          RENAME orvo-exporter)
endfunction()
cmake_language(DEFER CALL orvo_install_exporter)

# The commissioning panel (the integrator's program), its pages, its unit and
# its options; deferred like the exporter's.
function(orvo_install_panel)
  if(NOT TARGET orvo-panel)
    return()
  endif()
  orvo_manual(orvo_panel_manual orvo-panel.1)
  install(TARGETS orvo-panel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/man/orvo-panel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(DIRECTORY panel/www/ DESTINATION ${CMAKE_INSTALL_DATADIR}/orvo-panel/www)
  install(FILES ${orvo_dist}/orvo-panel.service DESTINATION ${orvo_unit_dir})
  install(FILES dist/orvo-panel.default DESTINATION ${orvo_sysconf_dir}/default RENAME orvo-panel)
endfunction()
cmake_language(DEFER CALL orvo_install_panel)
