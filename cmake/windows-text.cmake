# cmake -DIN=<file> -DOUT=<file> [-DENCODING=UTF-8-BOM] -P windows-text.cmake
# Writes a text file of the source tree as Windows reads it, with CR LF line
# ends: in the ANSI code page 932 (the methods; the step runner keeps an LF
# that has no CR before it as part of the step's argument word), or with
# ENCODING=UTF-8-BOM in UTF-8 behind a byte-order mark (the readmes, which
# Notepad then shows whole on every Windows, Japanese or not).
if(ENCODING STREQUAL "UTF-8-BOM")
    file(READ "${IN}" text)
else()
    execute_process(COMMAND iconv -f UTF-8 -t CP932 "${IN}"
                    OUTPUT_VARIABLE text RESULT_VARIABLE failed)
    if(failed)
        message(FATAL_ERROR "iconv could not convert ${IN} to CP932")
    endif()
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
if(ENCODING STREQUAL "UTF-8-BOM")
    string(ASCII 239 187 191 bom)
    set(text "${bom}${text}")
endif()
file(WRITE "${OUT}" "${text}")
