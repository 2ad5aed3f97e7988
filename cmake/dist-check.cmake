# cmake -DBUILD=<build dir> -DSOURCE=<source dir> -DZIP=<package> -DVERSION=<8.0> -DSTRIP=<strip>
#       -P dist-check.cmake
# Checks the package of a build (ZIP, named by CMakeLists.txt from the
# project's version: vanta-8.0-win32.zip): it holds exactly the program,
# the settings file, the five step scripts and the two readmes; the program is
# the build's vanta.exe without its debugging sections; the settings file and
# the scripts are the ones the build puts beside vanta.exe (which the tests
# run); the readmes say what docs/ says, in UTF-8 with a byte-order mark and
# CR LF, and their titles name the project's version.
set(zip ${ZIP})
set(expected readme.txt readme_ja.txt vanta.exe vanta.ini
             vanta0.run vanta1.run vanta2.run vanta3.run vanta4.run)
set(faults 0)
macro(fault text)
    message(SEND_ERROR "${text}")
    math(EXPR faults "${faults} + 1")
endmacro()

if(NOT EXISTS ${zip})
    message(FATAL_ERROR "${zip} was not built")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${zip}
                OUTPUT_VARIABLE listing RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${zip} cannot be listed")
endif()
string(REGEX REPLACE "\n$" "" listing "${listing}")
string(REPLACE "\n" ";" members "${listing}")
list(SORT members)
if(NOT members STREQUAL expected)
    fault("members: ${members}\nexpected: ${expected}")
endif()

set(out ${BUILD}/dist-check)
file(REMOVE_RECURSE ${out})
file(MAKE_DIRECTORY ${out}/zip)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zip}
                WORKING_DIRECTORY ${out}/zip RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "${zip} cannot be unpacked")
endif()

# A text of Windows: every LF has a CR before it, and there are lines.
# (file(READ) in text mode drops CRs: the bytes are looked at in hex.)
macro(check_line_ends file)
    file(READ ${file} hex HEX)
    string(REGEX REPLACE "(..)" "\\1 " bytes "${hex}")
    string(REPLACE "0d 0a " "" joined "${bytes}")
    string(FIND "${joined}" "0a " bare)
    if(NOT bare EQUAL -1 OR joined STREQUAL bytes)
        fault("${file}: not CR LF throughout")
    endif()
endmacro()

# strip stamps the time into the program's header: both copies are stripped
# again with one fixed time before they are compared
set(ENV{SOURCE_DATE_EPOCH} 0)
execute_process(COMMAND ${STRIP} -o ${out}/built.exe ${BUILD}/ui/vanta.exe RESULT_VARIABLE failed)
execute_process(COMMAND ${STRIP} -o ${out}/shipped.exe ${out}/zip/vanta.exe RESULT_VARIABLE failed2)
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${out}/built.exe ${out}/shipped.exe
                RESULT_VARIABLE differ)
if(failed OR failed2 OR differ)
    fault("vanta.exe is not the build's program")
endif()
file(SIZE ${out}/zip/vanta.exe shipped_size)
file(SIZE ${BUILD}/ui/vanta.exe built_size)
if(NOT shipped_size LESS built_size)
    fault("vanta.exe still has its debugging sections")
endif()

foreach(name vanta.ini vanta0.run vanta1.run vanta2.run vanta3.run vanta4.run)
    execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${out}/zip/${name} ${BUILD}/ui/${name}
                    RESULT_VARIABLE differ)
    if(differ)
        fault("${name} differs from the one beside the build's vanta.exe")
    endif()
    check_line_ends(${out}/zip/${name})
endforeach()

foreach(name readme.txt readme_ja.txt)
    check_line_ends(${out}/zip/${name})
    file(READ ${out}/zip/${name} head LIMIT 3 HEX)
    file(READ ${out}/zip/${name} text)
    file(READ ${SOURCE}/docs/${name} source)
    string(REPLACE "\r\n" "\n" text "${text}")
    string(ASCII 239 187 191 bom)
    if(NOT head STREQUAL "efbbbf" OR NOT text STREQUAL "${bom}${source}")
        fault("${name} does not read as docs/${name} in UTF-8 behind a byte-order mark")
    endif()
    string(FIND "${source}" "vanta ${VERSION} " title)
    if(NOT title EQUAL 0)
        fault("docs/${name} does not begin with the project's version: vanta ${VERSION}")
    endif()
endforeach()

file(REMOVE_RECURSE ${out})
if(faults)
    message(FATAL_ERROR "${faults} fault(s) in ${zip}")
endif()
message(STATUS "${zip}: ${members}")
