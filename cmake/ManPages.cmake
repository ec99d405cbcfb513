# man_page(<page> <out-var>): compresses the manual page <page> of this folder at build time, as
# Debian wants it (gzip -9n stores no name and no time stamp, so the same page gives the same
# file), into man/ of the build folder, and sets <out-var> to the compressed file.
function(man_page page out_var)
  get_filename_component(name ${page} NAME)
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/man/${name})
  file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
  add_custom_command(OUTPUT ${staged}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${page} ${staged}
    COMMAND gzip -9nf ${staged}
    DEPENDS ${page}
    COMMENT "Compressing the manual page ${name}"
    VERBATIM)
  add_custom_target(man_${name} ALL DEPENDS ${staged}.gz)
  set(${out_var} ${staged}.gz PARENT_SCOPE)
endfunction()
