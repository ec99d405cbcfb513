# Writes the macro FOR_EACH_INSTALLED_FILE, which inserts the macro it is given once for each of
# the installer's files (its path in the installation's folder), from CPack's staging folder
# (one folder per component) when makensis compiles the installer.
#   cmake -DSTAGING=<folder> -DOUT=<file.nsh> -P installed-files.cmake
file(GLOB_RECURSE staged RELATIVE "${STAGING}" "${STAGING}/*")
set(lines "")
foreach(path IN LISTS staged)
  string(FIND "${path}" "/" slash) # past the component's folder
  math(EXPR slash "${slash} + 1")
  string(SUBSTRING "${path}" ${slash} -1 path)
  string(REPLACE "/" "\\" path "${path}")
  string(APPEND lines "  !insertmacro \${DO} \"${path}\"\n")
endforeach()
file(WRITE "${OUT}" "!macro FOR_EACH_INSTALLED_FILE DO\n${lines}!macroend\n")
