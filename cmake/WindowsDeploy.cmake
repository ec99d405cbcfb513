# Lays out a cross-built Qt program so that it runs on a bare Windows: beside the executables,
# the DLLs their imports name (found in the Qt kit and the mingw-w64 runtime folders, and
# followed through the DLLs' own imports), and the plugins that no import names: the
# platform plugin and the style. What the executables import decides what is copied; a DLL
# that Windows itself provides is left out because neither folder holds it.
#   deploy_windows_runtime(DESTINATION <dir> COMPONENT <component> [EXCLUDE_FROM_ALL]
#                          TARGETS <target>...)

# Read by deploy_windows_runtime from its caller's scope, so set on every include.
get_target_property(_core Qt5::Core IMPORTED_LOCATION_RELEASE)
get_filename_component(_qt_bin "${_core}" DIRECTORY)
set(_runtime_links ${CMAKE_BINARY_DIR}/windows-runtime-links)

# The probes and the links below once per configure run, however many folders include this.
include_guard(GLOBAL)

# Where the mingw-w64 runtime DLLs of the compiler in use are.
set(_mingw_runtime_dirs)
foreach(_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${_dll}
                  OUTPUT_VARIABLE _path OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${_path}" AND EXISTS "${_path}")
    get_filename_component(_dir "${_path}" DIRECTORY)
    list(APPEND _mingw_runtime_dirs "${_dir}")
  endif()
endforeach()

# CMake looks Windows imports up by their lower-case names, which a case-sensitive file system
# does not find as Qt5Core.dll: a folder of lower-case links serves the look-up, and the
# links are followed back to the real files to install.
file(REMOVE_RECURSE ${_runtime_links})
file(MAKE_DIRECTORY ${_runtime_links})
foreach(_dir IN LISTS _qt_bin _mingw_runtime_dirs)
  file(GLOB _dlls "${_dir}/*.dll")
  foreach(_dll IN LISTS _dlls)
    get_filename_component(_name "${_dll}" NAME)
    string(TOLOWER "${_name}" _name)
    if(NOT EXISTS ${_runtime_links}/${_name})
      file(CREATE_LINK "${_dll}" ${_runtime_links}/${_name} SYMBOLIC)
    endif()
  endforeach()
endforeach()

function(deploy_windows_runtime)
  cmake_parse_arguments(PARSE_ARGV 0 arg "EXCLUDE_FROM_ALL" "DESTINATION;COMPONENT" "TARGETS")
  set(only_on_request)
  if(arg_EXCLUDE_FROM_ALL)
    set(only_on_request EXCLUDE_FROM_ALL)
  endif()
  get_filename_component(qt_prefix "${_qt_bin}" DIRECTORY)
  set(plugins)
  foreach(plugin platforms/qwindows styles/qwindowsvistastyle)
    get_filename_component(folder ${plugin} DIRECTORY)
    install(FILES ${qt_prefix}/plugins/${plugin}.dll DESTINATION ${arg_DESTINATION}/${folder}
            COMPONENT ${arg_COMPONENT} ${only_on_request})
    list(APPEND plugins ${qt_prefix}/plugins/${plugin}.dll)
  endforeach()
  set(executables)
  foreach(target IN LISTS arg_TARGETS)
    list(APPEND executables "$<TARGET_FILE:${target}>")
  endforeach()
  install(CODE "
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_PLATFORM windows+pe)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_TOOL objdump)
    set(CMAKE_GET_RUNTIME_DEPENDENCIES_COMMAND [[${CMAKE_OBJDUMP}]])
    file(GET_RUNTIME_DEPENDENCIES
         EXECUTABLES ${executables}
         MODULES ${plugins}
         DIRECTORIES [[${_runtime_links}]]
         RESOLVED_DEPENDENCIES_VAR found
         UNRESOLVED_DEPENDENCIES_VAR system
         PRE_EXCLUDE_REGEXES [[^api-ms-]] [[^ext-ms-]])
    # Whatever is not in the kit or the runtime folders must be Windows' own.
    foreach(name IN LISTS system)
      if(name MATCHES [[^(qt5|lib)]])
        message(FATAL_ERROR \"\${name} is imported but was not found to deploy\")
      endif()
    endforeach()
    set(files)
    foreach(link IN LISTS found)
      file(REAL_PATH \${link} file)
      list(APPEND files \${file})
    endforeach()
    file(INSTALL \${files} DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${arg_DESTINATION}\")
    " COMPONENT ${arg_COMPONENT} ${only_on_request})
endfunction()
