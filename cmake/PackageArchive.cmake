# Run by cpack on each package it has made: the members of the package's ar archive get mode 0644,
# as dpkg-deb gives them. cpack takes their modes from the files it wrote, that is from the
# builder's umask, which would make two builds of one source and key differ.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
    file(SIZE "${package}" total)
    set(offset 8) # past "!<arch>\n"; each member has a 60-byte header, its mode at 40, size at 48
    while(offset LESS total)
        file(READ "${package}" header OFFSET ${offset} LIMIT 60)
        string(SUBSTRING "${header}" 48 10 size)
        string(STRIP "${size}" size)
        math(EXPR mode_at "${offset} + 40")
        execute_process(
            COMMAND sh -c "printf '100644  ' | dd of=\"$0\" bs=1 seek=\"$1\" conv=notrunc status=none"
                    "${package}" "${mode_at}"
            COMMAND_ERROR_IS_FATAL ANY)
        math(EXPR offset "${offset} + 60 + ${size} + ${size} % 2")
    endwhile()
endforeach()
