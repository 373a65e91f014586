# Run by CPack once it has packed the Debian package. CPack's Installed-Size
# adds up the st_size of the staged files and folders, and a folder's is
# 4096 on ext4 but a few bytes on tmpfs: the package would depend on the
# filesystem it was built on. The control member is made again by dpkg-deb
# with the size dpkg-gencontrol gives, counted from what the package holds:
# each file or link its size in KiB rounded up, each folder (the top one
# too) 1, each hard link's inode once.
include(${CMAKE_CURRENT_LIST_DIR}/ar-members.cmake)
set(work ${CPACK_TOPLEVEL_DIRECTORY}/installed-size)

function(member_range archive name start end)
    ar_members(${archive} members)
    list(FILTER members INCLUDE REGEX "^${name}:")
    if(NOT members)
        message(FATAL_ERROR "${archive}: no ${name} member")
    endif()
    string(REPLACE ":" ";" members "${members}")
    list(GET members 1 first)
    list(GET members 2 last)
    set(${start} ${first} PARENT_SCOPE)
    set(${end} ${last} PARENT_SCOPE)
endfunction()

function(append_bytes from to offset length)
    execute_process(COMMAND dd if=${from} of=${to} bs=65536 iflag=skip_bytes,count_bytes skip=${offset}
        count=${length} oflag=append conv=notrunc status=none COMMAND_ERROR_IS_FATAL ANY)
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    execute_process(COMMAND dpkg-deb --contents ${deb} OUTPUT_VARIABLE listing COMMAND_ERROR_IS_FATAL ANY)
    set(kib 1)
    string(REGEX MATCHALL "[^\n]+" entries "${listing}")
    foreach(entry IN LISTS entries)
        if(NOT entry MATCHES "^(.)[^ ]* +[^ ]+ +([0-9]+) +[^ ]+ +[^ ]+ +(.*)$")
            message(FATAL_ERROR "${deb}: dpkg-deb --contents printed ${entry}")
        endif()
        set(type ${CMAKE_MATCH_1})
        set(size ${CMAKE_MATCH_2})
        set(name "${CMAKE_MATCH_3}")
        if(type STREQUAL "l")
            # lstat's size of a link is the length of its target.
            string(REGEX REPLACE "^.* -> " "" target "${name}")
            string(LENGTH "${target}" size)
        endif()
        if(type STREQUAL "-" OR type STREQUAL "l")
            math(EXPR kib "${kib} + (${size} + 1023) / 1024")
        elseif(NOT type STREQUAL "h" AND NOT name STREQUAL "./")
            math(EXPR kib "${kib} + 1")
        endif()
    endforeach()

    file(REMOVE_RECURSE ${work} ${work}.deb ${work}.spliced)
    file(MAKE_DIRECTORY ${work})
    execute_process(COMMAND dpkg-deb --control ${deb} ${work}/DEBIAN COMMAND_ERROR_IS_FATAL ANY)
    file(READ ${work}/DEBIAN/control control)
    string(REGEX REPLACE "(^|\n)Installed-Size: [0-9]+\n" "\\1Installed-Size: ${kib}\n" control "${control}")
    if(NOT control MATCHES "(^|\n)Installed-Size: ${kib}\n")
        message(FATAL_ERROR "${deb}: no Installed-Size in its control file")
    endif()
    file(WRITE ${work}/DEBIAN/control "${control}")
    # Modes as CPack gives them, whatever the umask: the package has no
    # maintainer scripts (dpkg-deb refuses one that is not executable).
    file(GLOB control_files ${work}/DEBIAN/*)
    file(CHMOD ${control_files} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    file(CHMOD ${work} ${work}/DEBIAN PERMISSIONS ${CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
    # Its times are SOURCE_DATE_EPOCH's, as CPack's members' are.
    execute_process(COMMAND dpkg-deb --root-owner-group -Zgzip --build ${work} ${work}.deb
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

    # CPack's package with dpkg-deb's control member in place of its own.
    member_range(${deb} "control\\.tar[^:]*" old_start old_end)
    member_range(${work}.deb "control\\.tar[^:]*" new_start new_end)
    file(SIZE ${deb} end)
    math(EXPR new_length "${new_end} - ${new_start}")
    math(EXPR rest "${end} - ${old_end}")
    append_bytes(${deb} ${work}.spliced 0 ${old_start})
    append_bytes(${work}.deb ${work}.spliced ${new_start} ${new_length})
    append_bytes(${deb} ${work}.spliced ${old_end} ${rest})
    file(RENAME ${work}.spliced ${deb})
endforeach()
