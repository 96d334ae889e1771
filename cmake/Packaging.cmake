# The Debian package, built by CPack's DEB generator: `scripts/package`, or `cpack` in a build
# tree. It holds whatever the tree installs (each program's and each resource folder's own
# install() rule) plus the files made here: a manual page for every program, the desktop entry,
# the icon, the polkit actions, the copyright file and the changelog.
if(NOT TARGET zelkova-user-client)
    return() # no desktop client, no package
endif()

set(ZKV_PACKAGE_NAME zelkova-user-client)
set(ZKV_PACKAGE_WORK ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${ZKV_PACKAGE_WORK}/man)

# Every program of the tree: the executables named zelkova-* of all build folders.
function(zkv_collect_programs dir out)
    get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
    get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
    set(found ${${out}})
    foreach(t ${targets})
        get_target_property(type ${t} TYPE)
        if(type STREQUAL "EXECUTABLE" AND t MATCHES "^zelkova-")
            list(APPEND found ${t})
        endif()
    endforeach()
    foreach(d ${subdirs})
        zkv_collect_programs(${d} found)
    endforeach()
    set(${out} ${found} PARENT_SCOPE)
endfunction()
set(ZKV_PROGRAMS "")
zkv_collect_programs(${PROJECT_SOURCE_DIR} ZKV_PROGRAMS)
list(SORT ZKV_PROGRAMS)
string(REPLACE ";" "\n" ZKV_PROGRAM_LINES "${ZKV_PROGRAMS}")
file(WRITE ${ZKV_PACKAGE_WORK}/programs.txt "${ZKV_PROGRAM_LINES}\n")

# The one-line summaries of the manual pages.
set(ZKV_SUMMARY_zelkova-user-client "desktop client of the Zelkova remote disk repair service")
set(ZKV_SUMMARY_zelkova-wire "inspect and encode the Zelkova protocol's byte streams")
set(ZKV_SUMMARY_zelkova-ata "ATA diagnostics on one IDE channel")
set(ZKV_SUMMARY_zelkova-service-sim "loopback stand-in for the Zelkova service's server")
set(ZKV_SUMMARY_zelkova-update "install a new version of the Zelkova User Client")
set(ZKV_SUMMARY_zelkova-disk-helper "serve the Zelkova User Client's disk channel requests")

# The files made at install time, when the install prefix is known (CPack installs to /usr):
# man pages from each program's --help, the polkit actions, the compressed changelog.
set(ZKV_MAN_PAGES "")
set(ZKV_MAN_CODE "")
foreach(p ${ZKV_PROGRAMS})
    set(summary "${ZKV_SUMMARY_${p}}")
    if(NOT summary)
        set(summary "a program of the Zelkova User Client")
    endif()
    string(APPEND ZKV_MAN_CODE "list(APPEND ZKV_MAN \"$<TARGET_FILE:${p}>|${summary}\")\n")
    list(APPEND ZKV_MAN_PAGES ${ZKV_PACKAGE_WORK}/man/${p}.1.gz)
endforeach()
install(CODE "
set(ZKV_MAN \"\")
${ZKV_MAN_CODE}
set(ZKV_VERSION \"${PROJECT_VERSION}\")
set(ZKV_SOURCE \"${PROJECT_SOURCE_DIR}\")
set(ZKV_WORK \"${ZKV_PACKAGE_WORK}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/PackageFiles.cmake\")
")
install(FILES ${ZKV_MAN_PAGES} DESTINATION share/man/man1)
install(FILES ${ZKV_PACKAGE_WORK}/example.zelkova.user-client.disk-helper.policy
              ${ZKV_PACKAGE_WORK}/example.zelkova.user-client.update.policy
        DESTINATION share/polkit-1/actions)

# The service's public keyring, against which zelkova-update checks every new version: a binary
# OpenPGP keyring (gpg --export KEYID >FILE) named by ZKV_UPDATE_KEYRING, which scripts/package
# takes from the environment variable ZELKOVA_UPDATE_KEYRING. Without it the package ships no
# keyring and its client refuses every update.
set(ZKV_UPDATE_KEYRING "" CACHE FILEPATH "binary OpenPGP keyring of the update signing key")
if(ZKV_UPDATE_KEYRING)
    if(NOT EXISTS "${ZKV_UPDATE_KEYRING}")
        message(FATAL_ERROR "ZKV_UPDATE_KEYRING: no file ${ZKV_UPDATE_KEYRING}")
    endif()
    file(READ "${ZKV_UPDATE_KEYRING}" zkv_first HEX LIMIT 1)
    # A binary packet starts with its high bit set; tag 5 (0x94-0x97, 0xc5) is a secret key.
    if(NOT zkv_first MATCHES "^[89a-f]" OR zkv_first MATCHES "^(9[4-7]|c5)$")
        message(FATAL_ERROR "ZKV_UPDATE_KEYRING must be a binary public keyring "
                            "(gpg --export KEYID), not armoured text or a secret key")
    endif()
    install(FILES "${ZKV_UPDATE_KEYRING}" DESTINATION share/zelkova-user-client
            RENAME update-keyring.gpg)
else()
    message(STATUS "No update keyring (ZKV_UPDATE_KEYRING): the package's client refuses updates")
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zelkova-user-client.desktop
        DESTINATION share/applications)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/zelkova-user-client.svg
        DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${ZKV_PACKAGE_WORK}/changelog.gz
        DESTINATION share/doc/${ZKV_PACKAGE_NAME})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${ZKV_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zelkova")
set(CPACK_PACKAGE_CONTACT "Zelkova User Client team <team@zelkova.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "user's client of the Zelkova remote disk repair service")
set(CPACK_PACKAGE_DESCRIPTION "\
A person whose IDE disk has failed attaches it, starts the client from the
menu and logs in with an e-mail address and an order number. A technician at
the service then works on the disk through the client. The client runs as the
user; only its small disk helper runs as root, started through polkit when the
client first reaches the disk. The package also holds the protocol inspector,
the ATA tool and a loopback stand-in for the service's server.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.zelkova.example")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# Libraries through dpkg-shlibdeps; what is started, not linked, named here: pkexec (the client
# starts the disk helper and the updater through it), gpgv (the updater checks signatures).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "pkexec, gpgv")
# Qt's Wayland platform, for sessions without X; aplay (alsa-utils) plays the screens' chime and
# the jumper dialog's sound, started when present and silently skipped otherwise.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, alsa-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The package is made from a built tree (scripts/package builds first); cpack and the packaging
# test do not start a build of everything themselves.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
include(CPack)
