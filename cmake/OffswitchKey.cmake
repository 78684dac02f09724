# The emergency key: read from a key file or generated once per build tree, checked, and handed to
# the compiler as its SHA-256 digest alone, through a generated header. The key text stays in the
# key file: it never reaches a header, a compiler command line, the build log, a binary or a
# package.

set(OFFSWITCH_KEY_LENGTH 1593)
set(OFFSWITCH_KEY_ALPHABET "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
# The digest in offswitch is readable by anyone who can read the program, so a key drawn from few
# characters could be found from it offline.
set(OFFSWITCH_KEY_MIN_DISTINCT 32)

# Writes CONTENT to PATH with mode 0600. The file is made private before the secret goes into it,
# and left alone when it already holds CONTENT, so that a reconfigure does not force a rebuild.
function(offswitch_write_secret path content)
    if(EXISTS "${path}")
        file(READ "${path}" old)
        if(old STREQUAL content)
            return()
        endif()
    endif()
    get_filename_component(dir "${path}" DIRECTORY)
    file(MAKE_DIRECTORY "${dir}")
    file(TOUCH "${path}")
    file(CHMOD "${path}" PERMISSIONS OWNER_READ OWNER_WRITE)
    file(WRITE "${path}" "${content}")
endfunction()

# Generates a fresh key from the system's cryptographic random source. Each byte is reduced modulo
# 64, which keeps the characters uniform because 256 is a multiple of 64.
function(offswitch_generate_key path)
    file(READ /dev/urandom random LIMIT ${OFFSWITCH_KEY_LENGTH} HEX)
    string(LENGTH "${random}" hex_length)
    math(EXPR wanted "2 * ${OFFSWITCH_KEY_LENGTH}")
    if(NOT hex_length EQUAL wanted)
        message(FATAL_ERROR "Could not read ${OFFSWITCH_KEY_LENGTH} bytes from /dev/urandom "
                            "to generate the emergency key.")
    endif()
    set(text "")
    math(EXPR last "${OFFSWITCH_KEY_LENGTH} - 1")
    foreach(i RANGE ${last})
        math(EXPR at "2 * ${i}")
        string(SUBSTRING "${random}" ${at} 2 byte)
        math(EXPR index "0x${byte} % 64")
        string(SUBSTRING "${OFFSWITCH_KEY_ALPHABET}" ${index} 1 character)
        string(APPEND text "${character}")
    endforeach()
    offswitch_write_secret("${path}" "${text}\n")
endfunction()

# Reads the key from PATH into OUT, or stops the configure step with a message that says what is
# wrong with the file and what is expected. ORIGIN names where the path came from.
function(offswitch_read_key path origin out)
    string(CONCAT expected "one line of exactly ${OFFSWITCH_KEY_LENGTH} characters of "
                           "A-Z a-z 0-9 + / =, with an optional final line feed")
    if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
        message(FATAL_ERROR "${origin}: '${path}' is not a readable file; expected ${expected}.")
    endif()
    # The file is checked byte by byte in hexadecimal: a text read would hide a NUL byte.
    file(READ "${path}" hex HEX)
    string(REGEX REPLACE "0a$" "" hex "${hex}")
    string(LENGTH "${hex}" hex_length)
    math(EXPR length "${hex_length} / 2")
    set(problems "")
    if(NOT length EQUAL OFFSWITCH_KEY_LENGTH)
        list(APPEND problems "it holds ${length} characters")
    endif()
    # Scanning stops a little past the key's length: a longer file is wrong whatever it holds.
    set(scan ${length})
    if(scan GREATER 2048)
        set(scan 2048)
    endif()
    set(i 0)
    while(i LESS scan)
        math(EXPR at "2 * ${i}")
        string(SUBSTRING "${hex}" ${at} 2 byte)
        # A-Z, a-z, 0-9, "+", "/" and "="
        if(NOT byte MATCHES "^(4[1-9a-f]|5[0-9a]|6[1-9a-f]|7[0-9a]|3[0-9]|2b|2f|3d)$")
            math(EXPR position "${i} + 1")
            math(EXPR code "0x${byte}")
            if(code GREATER 32 AND code LESS 127)
                string(ASCII ${code} character)
                set(bad "'${character}'")
            else()
                set(bad "the byte 0x${byte}")
            endif()
            list(APPEND problems "character ${position} is ${bad}")
            break()
        endif()
        math(EXPR i "${i} + 1")
    endwhile()
    if(NOT problems)
        file(READ "${path}" text)
        string(SUBSTRING "${text}" 0 ${OFFSWITCH_KEY_LENGTH} text)
        set(distinct 0)
        foreach(character A B C D E F G H I J K L M N O P Q R S T U V W X Y Z
                          a b c d e f g h i j k l m n o p q r s t u v w x y z
                          0 1 2 3 4 5 6 7 8 9 + / =)
            string(FIND "${text}" "${character}" at)
            if(at GREATER -1)
                math(EXPR distinct "${distinct} + 1")
            endif()
        endforeach()
        if(distinct LESS OFFSWITCH_KEY_MIN_DISTINCT)
            string(CONCAT problems
                   "it uses only ${distinct} distinct characters, fewer than the "
                   "${OFFSWITCH_KEY_MIN_DISTINCT} needed: the key's digest in offswitch can be read "
                   "by anyone, so a guessable key could be found from it offline")
        endif()
    endif()
    if(problems)
        list(JOIN problems "; " problems)
        message(FATAL_ERROR "${origin}: '${path}' is not a valid emergency key: ${problems}. "
                            "Expected ${expected}.")
    endif()
    set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Writes HEADER defining OFFSWITCH_KEY_DIGEST as the SHA-256 digest of the key read from KEY_FILE,
# an initializer of 32 bytes. The header is rewritten only when the digest changes.
function(offswitch_key_header key_file origin header)
    offswitch_read_key("${key_file}" "${origin}" text)
    string(SHA256 digest "${text}")
    unset(text)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${digest}")
    string(REGEX REPLACE ",$" "" bytes "${bytes}")
    file(CONFIGURE OUTPUT "${header}" CONTENT
         "// Generated by the configure step: the SHA-256 digest of the emergency key.\n#define OFFSWITCH_KEY_DIGEST {${bytes}}\n")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${key_file}")
endfunction()

# Script mode: cmake -D OFFSWITCH_CHECK_KEY=FILE -P OffswitchKey.cmake checks a key file;
# cmake -D OFFSWITCH_GENERATE_KEY=FILE -P OffswitchKey.cmake makes a new one (mode 0600), and never
# overwrites a file that is there: a key in use is replaced only on purpose.
if(CMAKE_SCRIPT_MODE_FILE)
    if(DEFINED OFFSWITCH_CHECK_KEY)
        offswitch_read_key("${OFFSWITCH_CHECK_KEY}" OFFSWITCH_KEY_FILE text)
        message(STATUS "${OFFSWITCH_CHECK_KEY} is a valid emergency key file")
    endif()
    if(DEFINED OFFSWITCH_GENERATE_KEY)
        if(EXISTS "${OFFSWITCH_GENERATE_KEY}" OR IS_SYMLINK "${OFFSWITCH_GENERATE_KEY}")
            message(FATAL_ERROR "'${OFFSWITCH_GENERATE_KEY}' is already there; it is left alone. "
                                "Move it away first to make a new key.")
        endif()
        offswitch_generate_key("${OFFSWITCH_GENERATE_KEY}")
        offswitch_read_key("${OFFSWITCH_GENERATE_KEY}" "generated key file" text)
        message(STATUS "Made a new emergency key in ${OFFSWITCH_GENERATE_KEY} (mode 0600)")
    endif()
endif()
