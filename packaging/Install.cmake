# Install rules whose destination depends on the prefix the files are
# installed with, which is known only at install time: cpack installs with
# its own prefix (/usr), whatever the build was configured with.

# The system configuration directory: /etc for a /usr installation (every
# package), <prefix>/etc otherwise. Sets `etc` in the install script.
set(ZEPHLINK_INSTALL_ETC [[
    if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
        set(etc /etc)
    else()
        set(etc "${CMAKE_INSTALL_PREFIX}/etc")
    endif()]])

# Installs file as <etc>/directory/[name].
#   zephlink_install_sysconf(file directory component [RENAME name])
function(zephlink_install_sysconf file directory component)
    cmake_parse_arguments(ARG "" "RENAME" "" ${ARGN})
    get_filename_component(name ${file} NAME)
    if(ARG_RENAME)
        set(name ${ARG_RENAME})
    endif()
    install(CODE "${ZEPHLINK_INSTALL_ETC}
        file(INSTALL \"${file}\" DESTINATION \"\${etc}/${directory}\" RENAME \"${name}\")"
        COMPONENT ${component})
endfunction()

# Installs template, configured with the installation's own directories
# (@bindir@, @etc@), as <prefix>/destination/name.
function(zephlink_install_configured template destination name component)
    set(staged ${CMAKE_CURRENT_BINARY_DIR}/installed/${name})
    install(CODE "${ZEPHLINK_INSTALL_ETC}
        set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        configure_file(\"${template}\" \"${staged}\" @ONLY)
        file(INSTALL \"${staged}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${destination}\")"
        COMPONENT ${component})
endfunction()
