# Installs the Windows build into ROOT as a user gets it, then the Windows tests and the
# stand-in server beside the launcher.   cmake -DBUILD=<dir> -DROOT=<dir> -P install-for-tests.cmake
file(REMOVE_RECURSE "${ROOT}")
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${ROOT}
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${ROOT}
                        --component windows_tests
                COMMAND_ERROR_IS_FATAL ANY)
