# The Linux program's sentences, its desktop entry and its AppStream metadata
# in the languages of po/LINGUAS, each from one catalogue, po/LL.po (domain
# dorvanel). The entry's and the metadata's sources stay English; msgfmt adds
# the translations. A catalogue msgfmt --check finds broken, or whose
# sentences lose or change a placeholder, fails the build.
find_program(DORVANEL_MSGFMT msgfmt REQUIRED)
# AppStream's own rules for what of the metadata is translated (Debian's
# appstream package), found by msgfmt through GETTEXTDATADIRS: gettext's
# older copy leaves the keywords out.
find_file(DORVANEL_METAINFO_ITS gettext/its/metainfo.its PATHS /usr/local/share /usr/share NO_DEFAULT_PATH REQUIRED)
get_filename_component(its_folder ${DORVANEL_METAINFO_ITS} DIRECTORY)
get_filename_component(its_folder ${its_folder} DIRECTORY)

set(po ${PROJECT_SOURCE_DIR}/po)
file(STRINGS ${po}/LINGUAS languages REGEX "^[^#]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${po}/LINGUAS)
set(catalogues)
foreach(language ${languages})
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/locale/${language}/LC_MESSAGES)
    add_custom_command(OUTPUT ${folder}/dorvanel.mo
        COMMAND ${CMAKE_COMMAND} -E make_directory ${folder}
        COMMAND ${DORVANEL_MSGFMT} --check -o ${folder}/dorvanel.mo ${po}/${language}.po
        DEPENDS ${po}/${language}.po
        COMMENT "Compiling the ${language} catalogue")
    list(APPEND catalogues ${folder}/dorvanel.mo)
    list(APPEND po_files ${po}/${language}.po)
    install(FILES ${folder}/dorvanel.mo DESTINATION ${CMAKE_INSTALL_LOCALEDIR}/${language}/LC_MESSAGES)
endforeach()

# The menu entry: its Name, Comment, Keywords and actions' names translated.
set(entry ${CMAKE_CURRENT_BINARY_DIR}/res/dorvanel.desktop)
add_custom_command(OUTPUT ${entry}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/res
    COMMAND ${DORVANEL_MSGFMT} --check --desktop --template=${PROJECT_SOURCE_DIR}/res/dorvanel.desktop.in -d ${po}
            -o ${entry}
    DEPENDS ${PROJECT_SOURCE_DIR}/res/dorvanel.desktop.in ${po}/LINGUAS ${po_files}
    COMMENT "Translating the desktop entry")

# The metadata, its release the version the files carry, on the day of the
# time they carry (SOURCE_DATE_EPOCH, which string(TIMESTAMP) reads).
set(DORVANEL_APPSTREAM_ID org.dorvanel.dorvanel)
string(TIMESTAMP DORVANEL_RELEASE_DATE "%Y-%m-%d" UTC)
# The rules go by the name of the file: the template is named as the result.
set(metainfo res/${DORVANEL_APPSTREAM_ID}.metainfo.xml)
configure_file(${metainfo}.in template/${metainfo} @ONLY)
add_custom_command(OUTPUT ${metainfo}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/res
    COMMAND ${CMAKE_COMMAND} -E env GETTEXTDATADIRS=${its_folder} ${DORVANEL_MSGFMT} --check --xml
            --template=${CMAKE_CURRENT_BINARY_DIR}/template/${metainfo} -d ${po} -o ${metainfo}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/template/${metainfo} ${po}/LINGUAS ${po_files}
    COMMENT "Translating the AppStream metadata")
set(metainfo ${CMAKE_CURRENT_BINARY_DIR}/${metainfo})

add_custom_target(dorvanel_translations ALL DEPENDS ${catalogues} ${entry} ${metainfo})
install(FILES ${entry} DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# `cmake --build BUILD --target dorvanel_pot`: the template again from the
# sentences every source under src/ marks (N_, translated), the entry and the
# metadata, and each catalogue brought up to it (new sentences untranslated,
# changed ones fuzzy, both shown in English until translated).
find_program(DORVANEL_XGETTEXT xgettext)
find_program(DORVANEL_MSGMERGE msgmerge)
# What makes the template, given where to write it (cmake/pot.cmake).
set(DORVANEL_POT_COMMAND ${CMAKE_COMMAND} -DXGETTEXT=${DORVANEL_XGETTEXT} -DITS=${DORVANEL_METAINFO_ITS}
    -P ${PROJECT_SOURCE_DIR}/cmake/pot.cmake --)
set(pot ${po}/dorvanel.pot)
set(merges)
foreach(language ${languages})
    list(APPEND merges COMMAND ${DORVANEL_MSGMERGE} --quiet --update --backup=none ${po}/${language}.po ${pot})
endforeach()
add_custom_target(dorvanel_pot COMMAND ${DORVANEL_POT_COMMAND} ${pot} ${merges} VERBATIM)
