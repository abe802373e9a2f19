# Every program prints "NAME (Tessaly Converter) VERSION" for --version, the
# project's version, and the Debian package, where there is one, is of that
# version too: the version is written once, in the top CMakeLists.txt, and
# debian/changelog must follow it.
#
# cmake -DVERSION=1.2.3 -DPROGRAMS=path;path -DCHANGELOG=debian/changelog -P VersionAgrees.cmake
foreach(program IN LISTS PROGRAMS)
    get_filename_component(name ${program} NAME)
    execute_process(COMMAND ${program} --version OUTPUT_VARIABLE out RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT out STREQUAL "${name} (Tessaly Converter) ${VERSION}\n")
        message(SEND_ERROR "${name} --version exits ${status} and prints '${out}', "
                           "not '${name} (Tessaly Converter) ${VERSION}'")
    endif()
endforeach()
if(EXISTS ${CHANGELOG})
    file(STRINGS ${CHANGELOG} top LIMIT_COUNT 1)
    # "tessaly-converter (1.1.0) unstable; urgency=medium", or 1.1.0-1 where the
    # package is not native.
    if(NOT top MATCHES "^[a-z0-9.+-]+ \\(${VERSION}(-[^)]*)?\\) ")
        message(SEND_ERROR "debian/changelog's last entry, '${top}', is not of version ${VERSION}")
    endif()
endif()
