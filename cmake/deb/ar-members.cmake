# The members of a .deb, an ar archive: "!<arch>\n", then per member a
# 60-byte text header (name 16, time 12, owner 6, group 6, mode 8, size 10,
# "`\n") and the data, padded to an even length. Sets OUT to one NAME:START:END
# a member: where its header starts and where its padding ends.
function(ar_members archive out)
    file(SIZE ${archive} end)
    set(members)
    set(header 8)
    while(header LESS end)
        file(READ ${archive} fields OFFSET ${header} LIMIT 60)
        string(SUBSTRING "${fields}" 0 16 name)
        string(SUBSTRING "${fields}" 48 10 size)
        string(STRIP "${name}" name)
        string(STRIP "${size}" size)
        if(NOT size MATCHES "^[0-9]+$")
            message(FATAL_ERROR "${archive}: no ar member header at byte ${header}")
        endif()
        math(EXPR next "${header} + 60 + ${size} + ${size} % 2")
        list(APPEND members "${name}:${header}:${next}")
        set(header ${next})
    endwhile()
    set(${out} ${members} PARENT_SCOPE)
endfunction()
