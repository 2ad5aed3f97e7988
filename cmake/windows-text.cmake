# cmake -DIN=<file> -DOUT=<file> -P windows-text.cmake
# Writes a text file of the source tree as the program reads it on Windows:
# in the ANSI code page 932 and with CR LF line ends. The step runner keeps an
# LF that has no CR before it as part of the step's argument word.
execute_process(COMMAND iconv -f UTF-8 -t CP932 "${IN}"
                OUTPUT_VARIABLE text RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "iconv could not convert ${IN} to CP932")
endif()
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE "${OUT}" "${text}")
