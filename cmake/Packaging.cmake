# Packages made by CPack from the install rules: on Linux one Debian package per part (the
# launcher; the library; its development files), on Windows a ZIP of the launcher's folder
# (when it is built) and the library for MinGW clients.   cpack -G DEB   (or ZIP in the cross
# build's folder)
set(CPACK_PACKAGE_NAME ludovane)
set(CPACK_PACKAGE_VENDOR "${PROJECT_VENDOR}")
set(CPACK_PACKAGE_CONTACT "Ludovane developers <developers@ludovane.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_VERBATIM_VARIABLES ON) # the installer's script lines keep their quotes
  if(BUILD_LAUNCHER)
    set(CPACK_COMPONENTS_ALL launcher tapstrike tapstrike_dev)
    set(CPACK_PACKAGE_FILE_NAME ludovane-${PROJECT_VERSION}-win64)
    # The installer (cpack -G NSIS): per machine into Program Files\Ludovane, a Start-menu
    # shortcut, an entry in the installed programs with an uninstaller; tapstrike for
    # developers is an optional component.
    set(CPACK_PACKAGE_INSTALL_DIRECTORY Ludovane)
    set(CPACK_PACKAGE_INSTALL_REGISTRY_KEY Ludovane)
    set(CPACK_NSIS_PACKAGE_NAME Ludovane)
    set(CPACK_NSIS_DISPLAY_NAME Ludovane)
    set(CPACK_NSIS_INSTALL_ROOT "$PROGRAMFILES64")
    # A 64-bit installer for a 64-bit program: it sees the real Program Files and registry.
    # CPack has no setting for it: the line goes in beside the compressor's, near the top.
    set(CPACK_NSIS_COMPRESSOR "lzma\n  Target amd64-unicode")
    set(CPACK_PACKAGE_EXECUTABLES launcher Ludovane)
    set(CPACK_NSIS_INSTALLED_ICON_NAME "bin\\launcher.exe")
    set(CPACK_NSIS_MUI_ICON ${PROJECT_BINARY_DIR}/launcher/launcher.ico)
    set(CPACK_NSIS_MUI_UNIICON ${PROJECT_BINARY_DIR}/launcher/launcher.ico)
    set(CPACK_COMPONENT_LAUNCHER_DISPLAY_NAME "Ludovane launcher")
    set(CPACK_COMPONENT_LAUNCHER_REQUIRED ON)
    set(CPACK_COMPONENT_TAPSTRIKE_DISPLAY_NAME "tapstrike.dll")
    set(CPACK_COMPONENT_TAPSTRIKE_DEV_DISPLAY_NAME "tapstrike for developers")
    set(CPACK_COMPONENT_TAPSTRIKE_DEV_DEPENDS tapstrike)
    set(CPACK_COMPONENT_LAUNCHER_DESCRIPTION
        "The launcher with the Qt libraries it needs. Put the real server, ludovane.exe, into its bin folder.")
    set(CPACK_COMPONENT_TAPSTRIKE_DESCRIPTION
        "A library that sends key presses and releases to the focused window, for programs that use it.")
    set(CPACK_COMPONENT_TAPSTRIKE_DEV_DESCRIPTION
        "The header, import library and CMake package for building programs against tapstrike.dll.")
    set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/packaging/windows-licence.txt)

    # What CPack's script lacks comes from packaging/installer.nsh, included near the top like
    # the target line (CPack fills CPACK_NSIS_DEFINES itself): one installation per machine,
    # the questions before any page, the uninstaller's checks. The folder page asks before
    # the installation moves to another folder.
    set(CPACK_NSIS_UNINSTALL_NAME uninstall-files)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/installer.nsh.in
                   ${PROJECT_BINARY_DIR}/installer.nsh @ONLY)
    string(APPEND CPACK_NSIS_COMPRESSOR "\n  !include \"${PROJECT_BINARY_DIR}/installer.nsh\"")
    set(CPACK_NSIS_LICENSE_PAGE "!insertmacro MUI_PAGE_LICENSE \"${CPACK_RESOURCE_FILE_LICENSE}\"
  !define MUI_PAGE_CUSTOMFUNCTION_LEAVE confirmMove")
    set(CPACK_NSIS_EXTRA_INSTALL_COMMANDS "!insertmacro AFTER_FILES")
    set(CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS "!insertmacro BEFORE_REMOVING")
    # After the uninstaller removed its keys: the vendor's key, when nothing else is in it.
    set(CPACK_NSIS_DELETE_ICONS_EXTRA
      "DeleteRegKey /ifempty SHCTX \"Software\\${PROJECT_VENDOR}\"\n")

    # Uninstall.exe, the front that Windows runs: NSIS's own uninstaller, uninstall-files.exe,
    # copies itself away and exits 0 at once, so that how it ends never reaches whoever ran it.
    add_executable(uninstall_front WIN32 ${PROJECT_SOURCE_DIR}/packaging/uninstall_front.c)
    set_target_properties(uninstall_front PROPERTIES OUTPUT_NAME Uninstall
                          RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})
    target_compile_definitions(uninstall_front PRIVATE
                               UNINSTALL_KEY="${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}")
    target_link_libraries(uninstall_front PRIVATE project_options)
    if(MINGW)
      # Run as administrator, with the launcher's icon (made with the launcher).
      target_link_options(uninstall_front PRIVATE -municode)
      set(rc_inputs ${PROJECT_SOURCE_DIR}/packaging/uninstall.exe.manifest)
      set(rc "1 24 \"${rc_inputs}\"\n")
      if(MAGICK_CONVERT)
        list(APPEND rc_inputs ${PROJECT_BINARY_DIR}/launcher/launcher.ico)
        string(APPEND rc "1 ICON \"${PROJECT_BINARY_DIR}/launcher/launcher.ico\"\n")
        add_dependencies(uninstall_front launcher)
      endif()
      file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/uninstall_front.rc CONTENT "${rc}")
      target_sources(uninstall_front PRIVATE ${PROJECT_BINARY_DIR}/uninstall_front.rc)
      set_source_files_properties(${PROJECT_BINARY_DIR}/uninstall_front.rc PROPERTIES
                                  OBJECT_DEPENDS "${rc_inputs}")
    else()
      target_sources(uninstall_front PRIVATE ${PROJECT_SOURCE_DIR}/packaging/uninstall.exe.manifest)
    endif()
  else()
    set(CPACK_COMPONENTS_ALL tapstrike tapstrike_dev)
    set(CPACK_PACKAGE_FILE_NAME tapstrike-${PROJECT_VERSION}-mingw-w64-x86_64)
  endif()
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
