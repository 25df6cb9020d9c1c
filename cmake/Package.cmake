# Debian packages with CPack: one package, orvo, with both programs, their
# manual pages, the service files and the completion. tools/package.sh
# builds them for amd64 and armhf.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network control for the microphone array appliance")
# The summary opens the Description field; this text follows it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "orvo-udpd is the daemon of the appliance: it takes one-line text commands on
UDP port 49494 and carries them out against the audio DSP (a mailbox in
physical memory), the 15 RGB LEDs and the settings files it keeps under
/media/data/mic-array. orvo-udpc sends one command and prints the reply.

The protocol has no authentication: anybody who can reach the port can send
commands. The service is installed but not enabled.")
set(ORVO_PACKAGE_MAINTAINER "Orvo appliance team <orvo@example.com>"
    CACHE STRING "Maintainer field of the packages")
set(CPACK_PACKAGE_CONTACT "${ORVO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ORVO_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The programs need the C library alone (tools/check-libs.sh); 2.34 is the
# newest symbol version they use.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)

# Debian's name for the machine the programs are built for.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" orvo_processor)
  if(orvo_processor MATCHES "^(x86_64|amd64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
  elseif(orvo_processor MATCHES "^(aarch64|arm64)$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
  elseif(orvo_processor MATCHES "^arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  elseif(orvo_processor MATCHES "^i.86$")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE i386)
  else()
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; "
                        "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
  endif()
endif()

# Stripped programs; files at their absolute places (the init script).
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Files under /etc are the administrator's once installed.
if(IS_ABSOLUTE "${orvo_init_file}" AND orvo_init_file MATCHES "^/etc/")
  file(WRITE ${PROJECT_BINARY_DIR}/package/conffiles "${orvo_init_file}\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/package/conffiles)
endif()

include(CPack)
