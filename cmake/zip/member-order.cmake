# Run by CPack once it has packed the ZIP, before it writes its checksum.
# CPack adds the files in the order their folder lists them, which depends
# on the filesystem (hashed on ext4, newest first on tmpfs): the ZIP is
# written again in name order. cmake -E tar writes each member as CPack
# does, from the staged file, with the time SOURCE_DATE_EPOCH gives.
file(GLOB_RECURSE names LIST_DIRECTORIES false RELATIVE ${CPACK_TEMPORARY_DIRECTORY}
    "${CPACK_TEMPORARY_DIRECTORY}/*")
foreach(zip IN LISTS CPACK_PACKAGE_FILES)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${zip} --format=zip -- ${names}
        WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
