# Debian packages from this build: `cpack` in the build directory, or
# scripts/build-deb.sh. Each package is one install component, declared with
# zephlink_deb_package(); install rules name their component (desktop:
# zephlink, relay: zephlink-relay). Another program gets its own package by
# installing with COMPONENT <name> and one more zephlink_deb_package() below.

set(ZEPHLINK_PACKAGE_MAINTAINER "Zephlink maintainers <maintainers@zephlink.app>" CACHE STRING
    "Maintainer named in the Debian packages")
set(ZEPHLINK_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")
set(ZEPHLINK_PACKAGE_DIR ${PROJECT_BINARY_DIR}/packaging)

# The Debian changelog's newest entry must be this version: a version bump
# without an entry would ship a changelog that lies.
set(ZEPHLINK_DEB_VERSION ${PROJECT_VERSION}-${ZEPHLINK_PACKAGE_RELEASE})
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^zephlink \\(${ZEPHLINK_DEB_VERSION}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog does not begin with version "
                        "${ZEPHLINK_DEB_VERSION}; add an entry for it")
endif()

# Files Debian wants compressed with gzip -9n (no name, no time stamp), so
# that the same sources give the same package.
function(zephlink_gzip source output)
    add_custom_command(OUTPUT ${output}
        COMMAND gzip -9nc ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    get_filename_component(name ${output} NAME)
    add_custom_target(zephlink_gzip_${name} ALL DEPENDS ${output})
endfunction()

# One binary package from one install component: its copyright file and
# changelog, its control fields, conffiles (paths under /etc) and maintainer
# scripts (files named postinst, prerm, postrm).
#   zephlink_deb_package(COMPONENT c NAME n SUMMARY s DESCRIPTION d
#                        [SECTION s] [DEPENDS ...] [RECOMMENDS ...] [SUGGESTS ...]
#                        [CONFFILES ...] [SCRIPTS ...])
function(zephlink_deb_package)
    cmake_parse_arguments(ARG "" "COMPONENT;NAME;SUMMARY;DESCRIPTION;SECTION"
                          "DEPENDS;RECOMMENDS;SUGGESTS;CONFFILES;SCRIPTS" ${ARGN})
    string(TOUPPER ${ARG_COMPONENT} C)
    list(LENGTH ARG_DESCRIPTION parts)
    if(NOT parts EQUAL 1)
        # CMake would cut the text at its first semicolon.
        message(FATAL_ERROR "The description of ${ARG_NAME} has a semicolon")
    endif()
    set(doc share/doc/${ARG_NAME})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright DESTINATION ${doc}
            COMPONENT ${ARG_COMPONENT})
    install(FILES ${ZEPHLINK_PACKAGE_DIR}/changelog.Debian.gz DESTINATION ${doc}
            COMPONENT ${ARG_COMPONENT})

    set(control ${ZEPHLINK_PACKAGE_DIR}/control/${ARG_COMPONENT})
    file(MAKE_DIRECTORY ${control})
    set(extra ${ARG_SCRIPTS})
    list(JOIN ARG_CONFFILES "\n" conffiles)
    if(conffiles)
        file(WRITE ${control}/conffiles "${conffiles}\n")
        list(APPEND extra ${control}/conffiles)
    endif()
    set(CPACK_DEBIAN_${C}_PACKAGE_CONTROL_EXTRA "${extra}" PARENT_SCOPE)

    if(NOT ARG_SECTION)
        set(ARG_SECTION utils)
    endif()
    list(JOIN ARG_DEPENDS ", " depends)
    list(JOIN ARG_RECOMMENDS ", " recommends)
    list(JOIN ARG_SUGGESTS ", " suggests)
    set(CPACK_DEBIAN_${C}_PACKAGE_NAME ${ARG_NAME} PARENT_SCOPE)
    set(CPACK_DEBIAN_${C}_PACKAGE_SECTION ${ARG_SECTION} PARENT_SCOPE)
    set(CPACK_DEBIAN_${C}_PACKAGE_DEPENDS "${depends}" PARENT_SCOPE)
    set(CPACK_DEBIAN_${C}_PACKAGE_RECOMMENDS "${recommends}" PARENT_SCOPE)
    set(CPACK_DEBIAN_${C}_PACKAGE_SUGGESTS "${suggests}" PARENT_SCOPE)
    set(CPACK_DEBIAN_${C}_PACKAGE_SOURCE zephlink PARENT_SCOPE)
    set(CPACK_DEBIAN_${C}_DESCRIPTION "${ARG_SUMMARY}\n${ARG_DESCRIPTION}" PARENT_SCOPE)
    set(CPACK_COMPONENTS_ALL ${CPACK_COMPONENTS_ALL} ${ARG_COMPONENT} PARENT_SCOPE)
endfunction()

zephlink_gzip(${PROJECT_SOURCE_DIR}/packaging/debian/changelog
              ${ZEPHLINK_PACKAGE_DIR}/changelog.Debian.gz)

# --- zephlink: the desktop program ---------------------------------------------
# The program, its bundle and its desktop entry are installed where they are
# built (src/, src/ui/); the rest of the package is here.
zephlink_gzip(${PROJECT_SOURCE_DIR}/packaging/zephlink.1 ${ZEPHLINK_PACKAGE_DIR}/zephlink.1.gz)
install(FILES ${ZEPHLINK_PACKAGE_DIR}/zephlink.1.gz DESTINATION share/man/man1 COMPONENT desktop)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/firewalld/zephlink.xml
        DESTINATION lib/firewalld/services COMPONENT desktop)
zephlink_install_sysconf(${PROJECT_SOURCE_DIR}/packaging/ufw/zephlink ufw/applications.d desktop)
if(TARGET zephlink_app)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/app.zephlink.Zephlink.metainfo.xml
            DESTINATION share/metainfo COMPONENT desktop)
endif()

zephlink_deb_package(
    COMPONENT desktop
    NAME zephlink
    SUMMARY "share copied text between your own devices"
    DESCRIPTION
"Zephlink lives in the system tray and shares the text you copy between this
desktop and your other computers and phones. Every clip is sealed with the
group's key (AES-256-GCM) before it leaves the machine, and text that password
managers mark as secret is never sent.

On a trusted private network the running instances find each other by
themselves (TCP port 8788, UDP port 8789, Bonjour). Groups on a relay server
are joined with an invitation link."
    # Loaded at run time, so dpkg-shlibdeps cannot see them: the QML modules
    # of the views, the SVG image plugin for the symbols, the Wayland platform
    # plugin.
    DEPENDS qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
            qml6-module-qtquick-shapes qml6-module-qtquick-templates
            qml6-module-qtquick-window qml6-module-qtqml-workerscript libqt6svg6 qt6-wayland
    RECOMMENDS avahi-daemon "gnome-keyring | kwalletmanager | keepassxc"
    CONFFILES /etc/ufw/applications.d/zephlink)

# --- zephlink-relay: the relay server ----------------------------------------------
# The program, its unit and its options file are installed in src/relay/.
# No Qt here: dpkg-shlibdeps finds every library it loads.
if(TARGET zephlink-relay)
    zephlink_gzip(${PROJECT_SOURCE_DIR}/packaging/zephlink-relay.1
                  ${ZEPHLINK_PACKAGE_DIR}/zephlink-relay.1.gz)
    install(FILES ${ZEPHLINK_PACKAGE_DIR}/zephlink-relay.1.gz DESTINATION share/man/man1
            COMPONENT relay)
    set(scripts ${PROJECT_SOURCE_DIR}/packaging/debian/zephlink-relay)
    zephlink_deb_package(
        COMPONENT relay
        NAME zephlink-relay
        SECTION net
        SUMMARY "clip relay server for Zephlink"
        DESCRIPTION
"zephlink-relay relays the sealed clips of Zephlink groups between devices
that are not on the same private network. It keeps the last clips of each
room behind the room's bearer token and answers long polls. It never holds a
group key and never opens a clip.

Rooms live in the relay's memory, or in Redis so that several relays serve
the same rooms. The package installs a hardened systemd unit, which is not
enabled. Its options are in /etc/default/zephlink-relay."
        SUGGESTS redis-server
        CONFFILES /etc/default/zephlink-relay
        SCRIPTS ${scripts}/postinst ${scripts}/prerm ${scripts}/postrm)
endif()

# --- the package set -------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zephlink)
set(CPACK_PACKAGE_VENDOR "Zephlink")
set(CPACK_PACKAGE_CONTACT "${ZEPHLINK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${ZEPHLINK_PACKAGE_DIR}/deb)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZEPHLINK_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
