# Checks that a manual page documents every option its program's --help lists.
#
#   cmake -DPROGRAM=path/to/program -DPAGE=path/to/program.1 -P CheckManPage.cmake
#
# The options are the words of the help text that start with "-" or "--" and
# a letter (-j, --output-dir, -platform); placeholders such as FOLDER or
# LAST-1 are not. Each must stand as a word of its own in the tag of an entry
# (.TP or .TQ) of the page's OPTIONS section: a mention in another entry's
# text does not count, nor does --erode-repeat for --erode.
foreach(var PROGRAM PAGE)
    if(NOT ${var})
        message(FATAL_ERROR "CheckManPage.cmake needs -D${var}=...")
    endif()
endforeach()

execute_process(COMMAND "${PROGRAM}" --help
    OUTPUT_VARIABLE help ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status STREQUAL "0")
    message(FATAL_ERROR "${PROGRAM} --help exited with ${status}:\n${errors}")
endif()

# The help text as a list of words: every character but letters, digits,
# "_" and "-" separates them (and so "[" and "]" do not reach the list).
string(REGEX REPLACE "[^A-Za-z0-9_-]+" ";" words "${help}")
set(options)
foreach(word IN LISTS words)
    if(word MATCHES "^--?[A-Za-z][A-Za-z0-9-]*$")
        list(APPEND options "${word}")
    endif()
endforeach()
list(REMOVE_DUPLICATES options)
if(NOT options)
    message(FATAL_ERROR "${PROGRAM} --help lists no options:\n${help}")
endif()

# The page's source with "\-" as "-" and without font changes; brackets and
# semicolons, which would break CMake's lists, become spaces.
file(READ "${PAGE}" roff)
string(REPLACE "\\-" "-" roff "${roff}")
string(REGEX REPLACE "\\\\f([BIRP]|\\([A-Z][A-Z]|\\[[A-Z]*\\])" "" roff "${roff}")
string(REGEX REPLACE "\\\\[&%:]" "" roff "${roff}")
foreach(character "[" "]" ";")
    string(REPLACE "${character}" " " roff "${roff}")
endforeach()

# The OPTIONS section, from its heading to the next one, and in it the tags
# of its entries: the line after each .TP or .TQ.
string(FIND "${roff}" "\n.SH OPTIONS\n" start)
if(start EQUAL -1)
    message(FATAL_ERROR "${PAGE} has no OPTIONS section")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${roff}" ${start} -1 section)
string(FIND "${section}" "\n.SH " end)
string(SUBSTRING "${section}" 0 ${end} section)
string(REGEX MATCHALL "\n\\.T[PQ][^\n]*\n[^\n]*" tags "${section}")
list(JOIN tags " " tags)

set(missing)
foreach(option IN LISTS options)
    if(NOT tags MATCHES "(^|[^A-Za-z0-9-])${option}([^A-Za-z0-9-]|$)")
        list(APPEND missing "${option}")
    endif()
endforeach()
if(missing)
    list(JOIN missing " " missing)
    message(FATAL_ERROR "${PAGE}: no entry of its OPTIONS section is for ${missing}, which ${PROGRAM} --help lists")
endif()
list(JOIN options " " options)
message(STATUS "${PAGE} documents ${options}")
