# Build helpers shared by the shipped programs and the test builds.

# The launchers hand their paths to the shell, so the root may hold only characters that the shell
# takes literally; and it must leave room in the starter's fixed 531-byte command buffer for
# "/Velkaran 580".
function(velkaran_check_data_dir dir name)
    if(NOT dir MATCHES "^(/[A-Za-z0-9._-]+)+$")
        message(FATAL_ERROR "${name} is '${dir}': expected an absolute path without a trailing "
                            "slash, made of the characters A-Z a-z 0-9 / . _ - only.")
    endif()
    string(LENGTH "${dir}" length)
    if(length GREATER 517)
        message(FATAL_ERROR "${name} is ${length} characters long; at most 517 fit the fixed "
                            "command buffer.")
    endif()
endfunction()

# Compiler and linker flags of every program: warnings, no C++ runtime, and the hardening of a
# security-minded distribution build.
add_library(velkaran_flags INTERFACE)
target_compile_features(velkaran_flags INTERFACE cxx_std_20)
target_compile_options(velkaran_flags INTERFACE
    -Wall -Wextra -Wpedantic -Wconversion -Wshadow -Wformat -Werror=format-security
    -fno-exceptions -fno-rtti
    -fstack-protector-strong -fstack-clash-protection -fcf-protection
    $<$<NOT:$<BOOL:${VELKARAN_SANITIZE}>>:-D_FORTIFY_SOURCE=3>)
target_link_options(velkaran_flags INTERFACE
    -Wl,-z,relro -Wl,-z,now -Wl,-z,noexecstack -Wl,--as-needed)
if(VELKARAN_SANITIZE)
    # The sanitizer runtimes do not implement the fortified *_chk functions.
    target_compile_options(velkaran_flags INTERFACE
        -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g
        -U_FORTIFY_SOURCE)
    target_link_options(velkaran_flags INTERFACE -fsanitize=address,undefined)
endif()
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
include(CheckPIESupported)
check_pie_supported()

# libsodium computes the key's digest in offswitch. It is linked statically, so that the programs
# still need nothing but the C library at run time.
find_path(SODIUM_INCLUDE_DIR sodium/crypto_hash_sha256.h)
find_library(SODIUM_STATIC_LIBRARY NAMES libsodium.a)
if(NOT SODIUM_INCLUDE_DIR OR NOT SODIUM_STATIC_LIBRARY)
    message(FATAL_ERROR "libsodium's headers and static library libsodium.a are needed "
                        "(Debian package libsodium-dev).")
endif()
add_library(velkaran_sodium STATIC IMPORTED)
set_target_properties(velkaran_sodium PROPERTIES
    IMPORTED_LOCATION "${SODIUM_STATIC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${SODIUM_INCLUDE_DIR}")

# Adds offswitch, runVelkaran and Velkaran, with target names ending in SUFFIX, compiled for the
# installation root ROOT and the key in KEY_FILE, and placed in OUTPUT_DIR.
function(velkaran_add_programs suffix)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "ROOT;KEY_FILE;KEY_ORIGIN;GENERATED_DIR;OUTPUT_DIR" "")
    set(VELKARAN_ROOT "${arg_ROOT}")
    configure_file("${PROJECT_SOURCE_DIR}/cmake/velkaran_paths.h.in"
                   "${arg_GENERATED_DIR}/velkaran_paths.h" @ONLY)
    offswitch_key_header("${arg_KEY_FILE}" "${arg_KEY_ORIGIN}"
                         "${arg_GENERATED_DIR}/offswitch_key.h")
    foreach(source offswitch/offswitch.cpp launch/runVelkaran.cpp launch/Velkaran.cpp)
        get_filename_component(program "${source}" NAME_WE)
        add_executable(${program}${suffix} "${PROJECT_SOURCE_DIR}/${source}")
        target_include_directories(${program}${suffix} PRIVATE "${arg_GENERATED_DIR}")
        target_link_libraries(${program}${suffix} PRIVATE velkaran_flags)
        if(program STREQUAL "offswitch")
            target_link_libraries(${program}${suffix} PRIVATE velkaran_sodium)
        endif()
        set_target_properties(${program}${suffix} PROPERTIES
            OUTPUT_NAME ${program}
            RUNTIME_OUTPUT_DIRECTORY "${arg_OUTPUT_DIR}")
        # The start files bring a .comment section of compiler versions that nothing needs.
        add_custom_command(TARGET ${program}${suffix} POST_BUILD
            COMMAND "${CMAKE_OBJCOPY}" --remove-section=.comment "$<TARGET_FILE:${program}${suffix}>"
            VERBATIM)
    endforeach()
endfunction()
