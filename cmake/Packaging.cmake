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
    set(CPACK_COMPONENT_TAPSTRIKE_DEV_DISPLAY_NAME "tapstrike header and import library")
    set(CPACK_COMPONENT_TAPSTRIKE_DEV_DEPENDS tapstrike)
    set(CPACK_COMPONENT_LAUNCHER_DESCRIPTION
        "The launcher with the Qt libraries it needs. Put the real server, ludovane.exe, into its bin folder.")
    set(CPACK_COMPONENT_TAPSTRIKE_DESCRIPTION
        "A library that sends key presses and releases to the focused window, for programs that use it.")
    set(CPACK_COMPONENT_TAPSTRIKE_DEV_DESCRIPTION
        "The header, import library and CMake package for building programs against tapstrike.dll.")
    set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/packaging/windows-licence.txt)

    # Uninstall.exe is a small front for the files' uninstaller: NSIS's own one copies itself
    # away and exits 0 at once, so that how it ends never reaches whoever ran it. The front
    # says 2 while the launcher runs, and otherwise runs the files' uninstaller.
    set(CPACK_NSIS_UNINSTALL_NAME uninstall-files)
    set(uninstall_key "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}")
    # A launcher running from `folder` keeps its files open (opening a running program's
    # file for writing fails): the user is asked to choose Exit and retry; silently the run
    # ends with code 2, nothing `done`.
    function(running_check out folder done)
      string(CONCAT block
        "retry_running:\n"
        "  IfFileExists \"${folder}\\bin\\launcher.exe\" 0 not_running\n"
        "  ClearErrors\n"
        "  FileOpen $0 \"${folder}\\bin\\launcher.exe\" a\n"
        "  IfErrors running\n"
        "  FileClose $0\n"
        "  Goto not_running\n"
        "running:\n"
        "  MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION \"Ludovane is running. Choose Exit in its tray menu, then Retry.\" /SD IDCANCEL IDRETRY retry_running\n"
        "  SetErrorLevel 2\n"
        "  Abort \"Ludovane is running: nothing was ${done}.\"\n"
        "not_running:\n")
      set(${out} "${block}" PARENT_SCOPE)
    endfunction()
    running_check(install_running_check $INSTDIR installed)
    running_check(uninstall_running_check $INSTDIR removed)
    # Near the top like the target line (CPack fills CPACK_NSIS_DEFINES itself), and so run
    # first, before any component writes a file: the installed version's folder (the
    # installer proposes it and a silent run uses it, unless /D= names another), from the
    # key every version's installer wrote it to; a running launcher; a newer version, which
    # is not replaced unasked (silently: code 2, nothing changed).
    string(CONCAT CPACK_NSIS_COMPRESSOR "${CPACK_NSIS_COMPRESSOR}\n"
      "!include WordFunc.nsh\n"
      "InstallDirRegKey HKLM \"Software\\${PROJECT_VENDOR}\\${CPACK_PACKAGE_INSTALL_REGISTRY_KEY}\" \"\"\n"
      "!define MUI_FINISHPAGE_TEXT \"Ludovane is installed. Put the real server, ludovane.exe, into the bin folder, beside launcher.exe:$\\r$\\n$\\r$\\n$INSTDIR\\bin\"\n"
      "Section \"-Before any file\"\n"
      "${install_running_check}"
      "  ReadRegStr $1 HKLM \"${uninstall_key}\" \"DisplayVersion\"\n"
      "  StrCmp $1 \"\" older_or_none\n"
      "  \${VersionCompare} \"$1\" \"${PROJECT_VERSION}\" $2\n"
      "  IntCmp $2 1 0 older_or_none older_or_none\n"
      "  MessageBox MB_YESNO|MB_ICONQUESTION \"Ludovane $1 is installed, which is newer than ${PROJECT_VERSION}. Replace it with ${PROJECT_VERSION}?\" /SD IDNO IDYES older_or_none\n"
      "  SetErrorLevel 2\n"
      "  Abort \"A newer Ludovane is installed: nothing was installed.\"\n"
      "older_or_none:\n"
      "SectionEnd\n")
    # The front, made by makensis beside the build, installed over the name the registry and
    # Windows use.
    string(CONCAT CPACK_NSIS_EXTRA_INSTALL_COMMANDS
      "File \"/oname=$INSTDIR\\Uninstall.exe\" \"${PROJECT_BINARY_DIR}/Uninstall.exe\"\n"
      "WriteRegStr SHCTX \"${uninstall_key}\" \"UninstallString\" \"$\\\"$INSTDIR\\Uninstall.exe$\\\"\"\n"
      "WriteRegStr SHCTX \"${uninstall_key}\" \"QuietUninstallString\" \"$\\\"$INSTDIR\\Uninstall.exe$\\\" /S\"\n"
      "WriteRegStr SHCTX \"${uninstall_key}\" \"InstallLocation\" \"$INSTDIR\"\n")
    # A running launcher keeps its files open: tell the user rather than remove half of it.
    # Whatever the user put in the folder (the real server, ludovane.exe) is not in the
    # installer's list and stays. The front has ended by the time its files are removed,
    # unless it waits for an uninstaller run in place (_?=), which then leaves it.
    string(CONCAT CPACK_NSIS_EXTRA_UNINSTALL_COMMANDS
      "${uninstall_running_check}"
      "  StrCpy $1 0\n"
      "retry_front:\n"
      "  ClearErrors\n"
      "  Delete \"$INSTDIR\\Uninstall.exe\"\n"
      "  IfErrors 0 front_gone\n"
      "  StrCmp $EXEDIR $INSTDIR front_gone\n"
      "  IntOp $1 $1 + 1\n"
      "  IntCmp $1 50 front_gone\n"
      "  Sleep 100\n"
      "  Goto retry_front\n"
      "front_gone:\n")
    # After the uninstaller removed its keys: the vendor's key, when nothing else is in it.
    set(CPACK_NSIS_DELETE_ICONS_EXTRA
      "DeleteRegKey /ifempty SHCTX \"Software\\${PROJECT_VENDOR}\"\n")
    find_program(MAKENSIS makensis)
    if(MAKENSIS)
      running_check(front_running_check $EXEDIR removed)
      configure_file(${PROJECT_SOURCE_DIR}/packaging/uninstall-front.nsi.in
                     ${PROJECT_BINARY_DIR}/uninstall-front.nsi @ONLY)
      add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/Uninstall.exe
        COMMAND ${MAKENSIS} -V2 ${PROJECT_BINARY_DIR}/uninstall-front.nsi
        DEPENDS ${PROJECT_BINARY_DIR}/uninstall-front.nsi ${PROJECT_BINARY_DIR}/launcher/launcher.ico
        COMMENT "Making Uninstall.exe, the installer's uninstall front")
      add_custom_target(uninstall_front ALL DEPENDS ${PROJECT_BINARY_DIR}/Uninstall.exe)
      add_dependencies(uninstall_front launcher) # which makes the icon
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
