# Run by CPack once it has packed the Debian package: the modes of the three
# archive members in the .deb's ar headers are written as dpkg-deb writes
# them, 100644, and not as the umask of the build left them.
include(${CMAKE_CURRENT_LIST_DIR}/ar-members.cmake)
set(mode_text ${CPACK_TOPLEVEL_DIRECTORY}/ar-member-mode)
file(WRITE ${mode_text} "100644  ")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    ar_members(${deb} members)
    foreach(member IN LISTS members)
        string(REPLACE ":" ";" member "${member}")
        list(GET member 1 header)
        math(EXPR mode "${header} + 40")
        execute_process(COMMAND dd of=${deb} bs=1 seek=${mode} conv=notrunc status=none
            INPUT_FILE ${mode_text} COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
endforeach()
