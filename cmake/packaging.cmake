# What users get: on Windows a ZIP download (dorvanel.exe, a readme and the
# licence) with its checksum; on Linux an install of the program, its manual
# page, its bash completion, its licence, its catalogues, its desktop entry and
# icons, and its AppStream metadata. The Debian package is made from this
# install by debian/, with dpkg-buildpackage.
include(GNUInstallDirs)

# Named here for both builds: the Windows one makes it, the Linux tests open it.
set(DORVANEL_WIN32_PACKAGE_NAME ${PROJECT_NAME}-${DORVANEL_VERSION}-win32)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Dorvanel")

# Every time a release file carries is one: SOURCE_DATE_EPOCH where it is
# set, else the last commit's time, so that two builds of one commit give the
# same bytes. CPack's archive entries take it when packing.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(DORVANEL_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
    execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE DORVANEL_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND git rev-parse --absolute-git-dir WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    # A new commit or checkout configures again, and so takes its time.
    if(EXISTS "${git_dir}/logs/HEAD")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_dir}/logs/HEAD")
    endif()
endif()
if(DORVANEL_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} ${DORVANEL_SOURCE_DATE_EPOCH})
    file(CONFIGURE OUTPUT CPackProjectConfig.cmake CONTENT
        "if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})\n    set(ENV{SOURCE_DATE_EPOCH} @DORVANEL_SOURCE_DATE_EPOCH@)\nendif()\n" @ONLY)
    set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/CPackProjectConfig.cmake)
else()
    message(NOTICE "Neither SOURCE_DATE_EPOCH nor a git checkout: the packages carry the time they are made.")
    set(DORVANEL_SOURCE_DATE_EPOCH "")
endif()

if(WIN32)
    # Notepad on older Windows shows a file with bare line feeds as one line.
    configure_file(doc/readme-windows.txt.in readme.txt @ONLY NEWLINE_STYLE CRLF)
    configure_file(LICENSE license.txt @ONLY NEWLINE_STYLE CRLF)
    install(TARGETS dorvanel RUNTIME DESTINATION .)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/readme.txt ${CMAKE_CURRENT_BINARY_DIR}/license.txt DESTINATION .)

    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_FILE_NAME ${DORVANEL_WIN32_PACKAGE_NAME})
    set(DORVANEL_PACKAGE_FILE ${DORVANEL_WIN32_PACKAGE_NAME}.zip)
    # Written next to the ZIP as NAME.zip.sha256, in the form sha256sum -c reads.
    set(CPACK_PACKAGE_CHECKSUM SHA256)
    # The files sit at the top of the archive, next to each other.
    set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
    # CPack's order of the files would depend on the filesystem.
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/zip/member-order.cmake)
else()
    # Where any install puts them, and nothing that belongs to one
    # distribution: debian/ packages what this installs.
    configure_file(doc/dorvanel.1.in dorvanel.1 @ONLY)
    install(TARGETS dorvanel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dorvanel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Where bash-completion looks for it under the prefix (XDG_DATA_DIRS).
    install(FILES completion/dorvanel.bash RENAME dorvanel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
    # The catalogues, the desktop's menu entry and the AppStream metadata,
    # translated; the entry's icon in the hicolor theme at each size
    # res/draw-icon.py draws (res/icons/NxN/apps/dorvanel.png).
    include(cmake/translations.cmake)
    install(DIRECTORY res/icons/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
    set(DORVANEL_PACKAGE_FILE "")
endif()

# What tools/release takes from this build for the manifests it writes and
# the signing time, so that none of it is written a second time there.
set(facts name version vendor epoch package)
set(variables PROJECT_NAME DORVANEL_VERSION CPACK_PACKAGE_VENDOR DORVANEL_SOURCE_DATE_EPOCH DORVANEL_PACKAGE_FILE)
set(release_facts "{}")
foreach(fact variable IN ZIP_LISTS facts variables)
    string(REPLACE "\\" "\\\\" value "${${variable}}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(JSON release_facts SET "${release_facts}" ${fact} "\"${value}\"")
endforeach()
file(CONFIGURE OUTPUT release-facts.json CONTENT "${release_facts}\n")
if(WIN32)
    include(CPack)
endif()
