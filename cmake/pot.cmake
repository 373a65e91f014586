# The catalogues' template, written to FILE: every sentence a source under
# src/ marks (N_, translated) with its translator comment, then those of the
# desktop entry and the metadata (res/*.desktop.in, res/*.metainfo.xml.in).
# Run by the dorvanel_pot target and by the catalogue test, as
# DORVANEL_POT_COMMAND FILE (cmake/translations.cmake), that is:
#   cmake -DXGETTEXT=xgettext -DITS=metainfo.its -P cmake/pot.cmake -- FILE
# Locations name the file alone and the version is left out: the template
# changes where a sentence does, not where a line moves or a release is made.
math(EXPR last "${CMAKE_ARGC} - 1")
set(output ${CMAKE_ARGV${last}})
get_filename_component(source ${CMAKE_CURRENT_LIST_DIR} DIRECTORY)
file(GLOB_RECURSE sources RELATIVE ${source} ${source}/src/*.cpp ${source}/src/*.h)
file(GLOB entries RELATIVE ${source} ${source}/res/*.desktop.in)
file(GLOB metadata RELATIVE ${source} ${source}/res/*.metainfo.xml.in)
# Reports on the sentences go to the package's maintainer.
file(STRINGS ${source}/debian/control maintainer REGEX "^Maintainer: " LIMIT_COUNT 1)
string(REGEX REPLACE "^.*<(.*)>$" "\\1" maintainer "${maintainer}")
set(xgettext ${XGETTEXT} --package-name=dorvanel --msgid-bugs-address=${maintainer} --from-code=UTF-8
    --add-comments=TRANSLATORS: --add-location=file -o ${output})
foreach(run "--keyword=N_;--keyword=translated;${sources}" "--join-existing;--language=Desktop;${entries}"
        "--join-existing;--its=${ITS};${metadata}")
    execute_process(COMMAND ${xgettext} ${run} WORKING_DIRECTORY ${source} COMMAND_ERROR_IS_FATAL ANY)
endforeach()
