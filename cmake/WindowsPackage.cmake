# The Windows ZIP: veltor.exe, the example configuration (with CR LF line
# ends, for Notepad) and a short text on running it.
#   cmake --build build-win --target package   ->  veltor-VERSION-win64.zip
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(veltor_windows_arch win64)
else()
  set(veltor_windows_arch win32)
endif()

file(READ ${PROJECT_SOURCE_DIR}/examples/veltor.conf veltor_example)
string(REPLACE "\n" "\r\n" veltor_example "${veltor_example}")
file(WRITE ${PROJECT_BINARY_DIR}/package/veltor.conf "${veltor_example}")
file(READ ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt veltor_readme)
string(REPLACE "\n" "\r\n" veltor_readme "${veltor_readme}")
file(WRITE ${PROJECT_BINARY_DIR}/package/README.txt "${veltor_readme}")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE veltor_license)
string(REPLACE "\n" "\r\n" veltor_license "${veltor_license}")
file(WRITE ${PROJECT_BINARY_DIR}/package/LICENSE.txt "${veltor_license}")

install(TARGETS veltor RUNTIME DESTINATION .)
install(FILES
  ${PROJECT_BINARY_DIR}/package/veltor.conf
  ${PROJECT_BINARY_DIR}/package/README.txt
  ${PROJECT_BINARY_DIR}/package/LICENSE.txt
  DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME veltor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME veltor-${PROJECT_VERSION}-${veltor_windows_arch})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR})
include(CPack)
