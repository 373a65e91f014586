# What users get: on Windows a ZIP download (dorvanel.exe and a readme), on
# Linux an install of the program and its manual page.
include(GNUInstallDirs)

# Named here for both builds: the Windows one makes it, the Linux tests open it.
set(DORVANEL_WIN32_PACKAGE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)

if(WIN32)
    # Notepad on older Windows shows a file with bare line feeds as one line.
    configure_file(doc/readme-windows.txt.in readme.txt @ONLY NEWLINE_STYLE CRLF)
    install(TARGETS dorvanel RUNTIME DESTINATION .)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/readme.txt DESTINATION .)

    set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
    set(CPACK_PACKAGE_VENDOR "Dorvanel")
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Opens and closes the CD drive tray")
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ${DORVANEL_WIN32_PACKAGE_NAME})
    # The two files sit at the top of the archive, next to each other.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build/")
    include(CPack)
else()
    configure_file(doc/dorvanel.1.in dorvanel.1 @ONLY)
    install(TARGETS dorvanel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dorvanel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
