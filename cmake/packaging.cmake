# What users get: on Windows a ZIP download (dorvanel.exe, a readme and the
# licence) with its checksum; on Linux an install of the program, its manual
# page, its bash completion and its copyright file, and a Debian package of it.
include(GNUInstallDirs)

# Named here for both builds: the Windows one makes it, the Linux tests open it.
set(DORVANEL_WIN32_PACKAGE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win32)

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "Dorvanel")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Opens and closes the CD drive tray")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git(/|$)" "/build/")

# Every time a release file carries is one: SOURCE_DATE_EPOCH where it is
# set, else the last commit's time, so that two builds of one commit give the
# same bytes. The changelog's date takes it here, CPack's archive entries when
# packing.
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
    set(CPACK_PACKAGE_CONTACT "the Dorvanel authors <dorvanel@example.org>" CACHE STRING
        "Maintainer of the Debian package, as Name <address>")
    set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

    # The Debian copyright file: the licence's holders and text, as fields.
    string(REGEX REPLACE "^Copyright \\(c\\) " "" DORVANEL_COPYRIGHT_HOLDERS "${DORVANEL_COPYRIGHT}")
    file(READ LICENSE licence)
    string(REGEX REPLACE "^.*\nCopyright [^\n]*\n\n" "" licence "${licence}")
    string(REGEX REPLACE "\n+$" "" licence "${licence}")
    string(REGEX REPLACE "\n\n" "\n.\n" licence "${licence}")
    string(REPLACE "\n" "\n " licence "${licence}")
    set(DORVANEL_LICENSE_FIELD " ${licence}")
    configure_file(cmake/deb/copyright.in copyright @ONLY)

    string(TIMESTAMP DORVANEL_CHANGELOG_DATE "%a, %d %b %Y 00:00:00 +0000" UTC)  # honours SOURCE_DATE_EPOCH
    configure_file(cmake/deb/changelog.Debian.in changelog.Debian @ONLY)
    configure_file(doc/dorvanel.1.in dorvanel.1 @ONLY)
    # Debian keeps pages and changelogs gzipped at -9, without name or time stamp.
    set(gzipped ${CMAKE_CURRENT_BINARY_DIR}/dorvanel.1.gz ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz)
    add_custom_command(OUTPUT ${gzipped}
        COMMAND gzip -9nkf dorvanel.1 changelog.Debian
        DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/dorvanel.1 ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    add_custom_target(dorvanel_docs ALL DEPENDS ${gzipped})

    # Folders made while installing, by cmake --install or CPack, whatever the umask.
    set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
        OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
    # CPack leaves some modes in the .deb to the umask, and its Installed-Size
    # to the filesystem.
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb/staged-folder-modes.cmake)
    set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb/installed-size.cmake
        ${PROJECT_SOURCE_DIR}/cmake/deb/ar-member-modes.cmake)
    install(TARGETS dorvanel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/dorvanel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
    # Where bash-completion looks for it under the prefix (XDG_DATA_DIRS).
    install(FILES completion/dorvanel.bash RENAME dorvanel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

    # Only in the package: tags lintian is told not to raise, each with its reason.
    install(FILES cmake/deb/lintian-overrides RENAME dorvanel
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides EXCLUDE_FROM_ALL COMPONENT deb)

    set(CPACK_INSTALL_CMAKE_PROJECTS
        ${PROJECT_BINARY_DIR} ${PROJECT_NAME} Unspecified /
        ${PROJECT_BINARY_DIR} ${PROJECT_NAME} deb /)
    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
    set(CPACK_DEBIAN_PACKAGE_SECTION utils)
    set(CPACK_PACKAGE_DESCRIPTION [=[
Dorvanel opens the tray of a CD drive, closes it, or opens it and closes it
again after a number of seconds, from the command line and without any
output. Drives are named by letter the way Windows names them (the manual
page lists which device each letter is), with the same options as its
Windows build, so that scripts and shortcuts read the same on both.
]=])
    # Depends is read from the program's dynamic section by dpkg-shlibdeps.
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE architecture
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${architecture})
    # name_version-release_architecture.deb, as Debian names packages.
    set(DORVANEL_DEB_FILE ${PROJECT_NAME}_${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_${architecture}.deb)
    set(CPACK_DEBIAN_FILE_NAME ${DORVANEL_DEB_FILE})
    set(DORVANEL_PACKAGE_FILE ${DORVANEL_DEB_FILE})
endif()

# What tools/release takes from this build for the manifests it writes and
# the signing time, so that none of it is written a second time there.
set(facts name version vendor summary epoch package)
set(variables PROJECT_NAME PROJECT_VERSION CPACK_PACKAGE_VENDOR CPACK_PACKAGE_DESCRIPTION_SUMMARY
    DORVANEL_SOURCE_DATE_EPOCH DORVANEL_PACKAGE_FILE)
set(release_facts "{}")
foreach(fact variable IN ZIP_LISTS facts variables)
    string(REPLACE "\\" "\\\\" value "${${variable}}")
    string(REPLACE "\"" "\\\"" value "${value}")
    string(JSON release_facts SET "${release_facts}" ${fact} "\"${value}\"")
endforeach()
file(CONFIGURE OUTPUT release-facts.json CONTENT "${release_facts}\n")
include(CPack)
