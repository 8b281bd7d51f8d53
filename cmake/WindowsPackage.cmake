# `package` in the Windows build: a ZIP for technicians with both executables (installed by
# src/CMakeLists.txt) and their README, with Windows line ends so that every Notepad shows it.
if(NOT WIN32)
    return()
endif()

set(BRIVANTA_TECHNICIAN_README "${PROJECT_BINARY_DIR}/TECHNICIAN-README.txt")
configure_file("${PROJECT_SOURCE_DIR}/docs/TECHNICIAN-README.txt" "${BRIVANTA_TECHNICIAN_README}"
               @ONLY NEWLINE_STYLE CRLF)
install(FILES "${BRIVANTA_TECHNICIAN_README}" DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME BrivantaFwUpgrade)
set(CPACK_PACKAGE_VENDOR Brivanta)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_SYSTEM_NAME win64)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
