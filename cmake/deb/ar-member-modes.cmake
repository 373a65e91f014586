# Run by CPack once it has packed the Debian package: the modes of the three
# archive members in the .deb's ar headers are written as dpkg-deb writes
# them, 100644, and not as the umask of the build left them.
set(mode_text ${CPACK_TOPLEVEL_DIRECTORY}/ar-member-mode)
file(WRITE ${mode_text} "100644  ")
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    file(SIZE ${deb} end)
    # An ar file: "!<arch>\n", then per member a 60-byte text header
    # (name 16, time 12, owner 6, group 6, mode 8, size 10, "`\n") and the
    # data, padded to an even length.
    set(header 8)
    while(header LESS end)
        file(READ ${deb} fields OFFSET ${header} LIMIT 60)
        string(SUBSTRING "${fields}" 48 10 size)
        string(STRIP "${size}" size)
        if(NOT size MATCHES "^[0-9]+$")
            message(FATAL_ERROR "${deb}: no ar member header at byte ${header}")
        endif()
        math(EXPR mode "${header} + 40")
        execute_process(COMMAND dd of=${deb} bs=1 seek=${mode} conv=notrunc status=none
            INPUT_FILE ${mode_text} COMMAND_ERROR_IS_FATAL ANY)
        math(EXPR header "${header} + 60 + ${size} + ${size} % 2")
    endwhile()
endforeach()
