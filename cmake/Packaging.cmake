# Packages made by CPack from the install rules: on Linux one Debian package per part (the
# launcher; the library; its development files), on Windows a ZIP of the library for MinGW
# clients.   cpack -G DEB   (or ZIP in the cross build's folder)
set(CPACK_PACKAGE_NAME ludovane)
set(CPACK_PACKAGE_VENDOR "Ludovane developers")
set(CPACK_PACKAGE_CONTACT "Ludovane developers <developers@ludovane.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_COMPONENTS_ALL tapstrike tapstrike_dev)
  set(CPACK_PACKAGE_FILE_NAME tapstrike-${PROJECT_VERSION}-mingw-w64-x86_64)
else()
  set(CPACK_GENERATOR DEB)
  # The library's packages take the copy of its install rules with the multiarch folder.
  set(CPACK_COMPONENTS_ALL launcher tapstrike_deb tapstrike_dev_deb)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  set(CPACK_DEBIAN_LAUNCHER_PACKAGE_NAME ludovane-launcher)
  set(CPACK_DEBIAN_LAUNCHER_PACKAGE_SECTION utils)
  set(CPACK_COMPONENT_LAUNCHER_DESCRIPTION "launcher for the Ludovane console server
A small window with a tray icon: pick a game console and it runs the Ludovane
server for it, headless, and shows the code the server reports, announcing
each new one in a tray balloon. The server itself is not part of this package:
put it beside the launcher as /usr/libexec/ludovane/ludovane.exe.")

  set(CPACK_DEBIAN_TAPSTRIKE_DEB_PACKAGE_NAME libtapstrike1)
  set(CPACK_DEBIAN_TAPSTRIKE_DEB_PACKAGE_SECTION libs)
  # The ldconfig trigger, which Debian wants in place of ldconfig in scripts.
  set(CPACK_DEBIAN_TAPSTRIKE_DEB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/triggers)
  set(CPACK_COMPONENT_TAPSTRIKE_DEB_DESCRIPTION "keyboard event injection by Windows key codes
tapstrike sends single key-down and key-up events to the focused window through
the X server's XTEST extension, naming keys by Windows virtual-key codes.")

  set(CPACK_DEBIAN_TAPSTRIKE_DEV_DEB_PACKAGE_NAME libtapstrike-dev)
  set(CPACK_DEBIAN_TAPSTRIKE_DEV_DEB_PACKAGE_SECTION libdevel)
  set(CPACK_COMPONENT_TAPSTRIKE_DEV_DEB_DEPENDS tapstrike_deb)
  set(CPACK_COMPONENT_TAPSTRIKE_DEV_DEB_DESCRIPTION "keyboard event injection by Windows key codes (development files)
The header, the link library, a pkg-config file and a CMake package
(find_package(tapstrike CONFIG), target tapstrike::tapstrike) for building
clients of libtapstrike.")

  # Each package's copyright and changelog; the changelog compressed as Debian wants it, with
  # no time stamp, so the same sources give the same packages.
  set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
  execute_process(COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog
                  OUTPUT_FILE ${changelog} COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/packaging/changelog)
  # `cmake --install` lays them out too, beside the library's own rules.
  set(components launcher tapstrike tapstrike_dev tapstrike_deb tapstrike_dev_deb)
  set(package_names ludovane-launcher libtapstrike1 libtapstrike-dev libtapstrike1 libtapstrike-dev)
  set(on_request "" "" "" EXCLUDE_FROM_ALL EXCLUDE_FROM_ALL)
  foreach(component package only IN ZIP_LISTS components package_names on_request)
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component} ${only})
  endforeach()
  # What lintian is told to let pass, each with the reason.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/lintian-overrides/libtapstrike1
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
          COMPONENT tapstrike_deb EXCLUDE_FROM_ALL)
endif()

include(CPack)
