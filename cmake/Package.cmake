# Installation and the Debian package.

# The release date, from a Debian changelog's latest entry, as seconds since the epoch: the date
# of the manual pages, and the timestamp of every file in the package, so that two builds of one
# source and key are identical.
function(velkaran_release_epoch changelog variable)
    file(STRINGS "${changelog}" trailer REGEX "^ -- .+>  " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .+>  " "" changelog_date "${trailer}")
    execute_process(COMMAND date -u -d "${changelog_date}" +%s
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    COMMAND_ERROR_IS_FATAL ANY)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
    set(${variable} "${epoch}" PARENT_SCOPE)
endfunction()
velkaran_release_epoch("${PROJECT_SOURCE_DIR}/packaging/changelog" VELKARAN_RELEASE_EPOCH)
execute_process(COMMAND date -u -d "@${VELKARAN_RELEASE_EPOCH}" +%Y-%m-%d
                OUTPUT_VARIABLE VELKARAN_RELEASE_DATE OUTPUT_STRIP_TRAILING_WHITESPACE
                COMMAND_ERROR_IS_FATAL ANY)

foreach(release VELKARAN_PACKAGE_RELEASE VELKARAN_COLLECTION_PACKAGE_RELEASE)
    if(NOT ${release} MATCHES "^[1-9][0-9]*$")
        message(FATAL_ERROR "${release} is '${${release}}': expected a positive whole number.")
    endif()
endforeach()
if(NOT VELKARAN_PACKAGE_MAINTAINER MATCHES "^[^<>\n]*[^<> \n] <[^<>@ \n]+@[^<> \n]+>$")
    message(FATAL_ERROR "VELKARAN_PACKAGE_MAINTAINER is '${VELKARAN_PACKAGE_MAINTAINER}': "
                        "expected \"Name <address>\".")
endif()

# Velkaran lives at the fixed root, where runVelkaran starts it by its path; offswitch carries
# only the key's digest, so it is installed like any other program. The mode file is the
# operator's and is never installed, so an upgrade cannot overwrite it.
include(GNUInstallDirs)
# Two packages: the programs, for the hosts, and the fleet collection, for control machines.
set(CMAKE_INSTALL_DEFAULT_COMPONENT_NAME velkaran)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(mode_0755 OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(mode_0644 OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The fixed root is absolute: an install with another prefix and no DESTDIR still writes it.
install(CODE "
    cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX \"${VELKARAN_DATA_DIR}\" NORMALIZE below_prefix)
    if(\"\$ENV{DESTDIR}\" STREQUAL \"\" AND NOT below_prefix)
        message(WARNING \"This installation writes the agent's files to ${VELKARAN_DATA_DIR}, \"
                        \"the root compiled into the programs, outside the prefix \"
                        \"\${CMAKE_INSTALL_PREFIX}. To stage the installation in a directory \"
                        \"instead, set DESTDIR: DESTDIR=/some/stage cmake --install ...\")
    endif()")
# The directories that the programs own are installed explicitly, as only those get their modes set
# whatever the installer's umask: an implicitly created one would be 0700 under umask 077, and the
# agent unreachable.
install(DIRECTORY DESTINATION "${VELKARAN_DATA_DIR}")
install(DIRECTORY DESTINATION "${VELKARAN_DATA_DIR}/vornek")
install(DIRECTORY DESTINATION "${CMAKE_INSTALL_DOCDIR}")
install(TARGETS Velkaran DESTINATION "${VELKARAN_DATA_DIR}" PERMISSIONS ${mode_0755})
install(TARGETS offswitch DESTINATION "${CMAKE_INSTALL_SBINDIR}" PERMISSIONS ${mode_0755})
install(TARGETS runVelkaran DESTINATION "${CMAKE_INSTALL_SBINDIR}" PERMISSIONS ${mode_0755})

# Manual pages carry this build's paths, compressed as Debian compresses them.
set(man_pages "")
foreach(page offswitch runVelkaran Velkaran)
    configure_file("${PROJECT_SOURCE_DIR}/man/${page}.8.in" "${CMAKE_BINARY_DIR}/man/${page}.8" @ONLY)
    add_custom_command(OUTPUT "${CMAKE_BINARY_DIR}/man/${page}.8.gz"
        COMMAND gzip -9nf -k "${page}.8"
        DEPENDS "${CMAKE_BINARY_DIR}/man/${page}.8"
        WORKING_DIRECTORY "${CMAKE_BINARY_DIR}/man"
        VERBATIM)
    list(APPEND man_pages "${CMAKE_BINARY_DIR}/man/${page}.8.gz")
endforeach()
add_custom_target(man ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man8" PERMISSIONS ${mode_0644})

# A package with a Debian revision keeps its changelog as changelog.Debian.gz; the collection's
# package keeps the one rendered from the collection's changelog.
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/packaging/collection")
set(changelog_sources changelog changelog-collection)
set(changelogs "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz"
               "${CMAKE_BINARY_DIR}/packaging/collection/changelog.Debian.gz")
foreach(source gzipped IN ZIP_LISTS changelog_sources changelogs)
    add_custom_command(OUTPUT "${gzipped}"
        COMMAND gzip -9n -c "${PROJECT_SOURCE_DIR}/packaging/${source}" > "${gzipped}"
        DEPENDS "${PROJECT_SOURCE_DIR}/packaging/${source}"
        VERBATIM)
endforeach()
add_custom_target(changelog ALL DEPENDS ${changelogs})
install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
              "${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz"
        DESTINATION "${CMAKE_INSTALL_DOCDIR}" PERMISSIONS ${mode_0644})

# The collection's package installs the tarball's content on Ansible's default collections path.
# A plain "cmake --install" leaves it out: it is for control machines, not for the hosts.
if(ANSIBLE_GALAXY)
    set(collection_tree "${CMAKE_BINARY_DIR}/collection/tree")
    add_custom_command(OUTPUT "${collection_tree}/MANIFEST.json"
        COMMAND "${CMAKE_COMMAND}" -E rm -rf "${collection_tree}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${collection_tree}"
        COMMAND "${CMAKE_COMMAND}" -E chdir "${collection_tree}" tar -xzf "${VELKARAN_COLLECTION}"
        DEPENDS "${VELKARAN_COLLECTION}"
        VERBATIM)
    add_custom_target(collection-tree ALL DEPENDS "${collection_tree}/MANIFEST.json")
    set(collections "${CMAKE_INSTALL_DATADIR}/ansible/collections/ansible_collections")
    install(DIRECTORY "${collection_tree}/" DESTINATION "${collections}/velkaran/offswitch"
            COMPONENT collection EXCLUDE_FROM_ALL
            FILE_PERMISSIONS ${mode_0644} DIRECTORY_PERMISSIONS ${mode_0755})
    install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
                  "${CMAKE_BINARY_DIR}/packaging/collection/changelog.Debian.gz"
            DESTINATION "${CMAKE_INSTALL_DATAROOTDIR}/doc/velkaran-ansible-collection"
            COMPONENT collection EXCLUDE_FROM_ALL PERMISSIONS ${mode_0644})
    file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/packaging/lintian-overrides-collection" CONTENT
         "# A collection carries its README and changelog, which ansible-doc and ansible-galaxy read.
velkaran-ansible-collection: package-contains-documentation-outside-usr-share-doc [usr/share/ansible/collections/ansible_collections/velkaran/offswitch/*]
# Its example AWX project keeps its collections/requirements.yml where AWX reads it.
velkaran-ansible-collection: repeated-path-segment collections [usr/share/ansible/collections/ansible_collections/velkaran/offswitch/docs/awx/project/collections/]\n")
    install(FILES "${CMAKE_BINARY_DIR}/packaging/lintian-overrides-collection"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides"
            RENAME velkaran-ansible-collection
            COMPONENT collection EXCLUDE_FROM_ALL PERMISSIONS ${mode_0644})
endif()

# Lintian overrides for the configured root: below /usr/bin, its directories are the agent's
# external interface, which the agent and its operators find at fixed paths.
string(REGEX REPLACE "^/" "" root "${VELKARAN_DATA_DIR}")
set(overrides "")
if(VELKARAN_DATA_DIR MATCHES "^/usr/bin/")
    string(APPEND overrides
           "# The agent's entry and mode file lie at fixed paths below /${root}: the agent's\n"
           "# external interface, which the agent and its operators rely on.\n")
    set(dir "${root}")
    while(NOT dir STREQUAL "usr/bin")
        set(overrides "${overrides}velkaran: subdir-in-usr-bin [${dir}/]\n")
        get_filename_component(dir "${dir}" DIRECTORY)
    endwhile()
    string(APPEND overrides "velkaran: subdir-in-usr-bin [${root}/vornek/]\n")
endif()
string(APPEND overrides
       "# offswitch switches the agent only where the mode file's directory exists; the mode\n"
       "# file itself is the agent's state, written by offswitch, and is never shipped.\n"
       "velkaran: package-contains-empty-directory [${root}/vornek/]\n"
       "# The agent's entry is started by runVelkaran at its fixed path, not from PATH.\n"
       "velkaran: spare-manual-page [usr/share/man/man8/Velkaran.8.gz]\n"
       "# Built with _FORTIFY_SOURCE=3: the compiler proved each fortifiable call safe, so none\n"
       "# needed a checked variant.\n"
       "velkaran: hardening-no-fortify-functions [usr/sbin/offswitch]\n")
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/packaging/lintian-overrides" CONTENT "${overrides}")
install(FILES "${CMAKE_BINARY_DIR}/packaging/lintian-overrides"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides" RENAME ${PROJECT_NAME}
        PERMISSIONS ${mode_0644})

# The Debian package. It holds no secret: the key file stays with the operator.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VENDOR "The Velkaran developers")
set(CPACK_PACKAGE_CONTACT "${VELKARAN_PACKAGE_MAINTAINER}")
# Each package's description starts with its own summary line. CPack puts the project's summary
# before both unless the summary is CPack's own default, which it then leaves out.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_VELKARAN_DESCRIPTION "emergency off switch and launch chain for the Velkaran agent
offswitch asks the operator for the emergency key and, on an exact match,
puts the Velkaran agent into off mode by atomically replacing its mode file
with one holding 1. runVelkaran starts the agent's entry program, Velkaran,
which starts the agent's update program.
.
Only the SHA-256 digest of the emergency key is compiled into offswitch;
the key itself stays in the operator's key file.")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL velkaran)
set(CPACK_DEBIAN_VELKARAN_PACKAGE_NAME ${PROJECT_NAME})
if(ANSIBLE_GALAXY)
    set(CPACK_DEBIAN_COLLECTION_PACKAGE_NAME ${PROJECT_NAME}-ansible-collection)
    set(CPACK_DEBIAN_COLLECTION_PACKAGE_ARCHITECTURE all)
    set(CPACK_DEBIAN_COLLECTION_PACKAGE_DEPENDS "ansible-core (>= 2.14) | ansible (>= 7)")
    set(CPACK_DEBIAN_COLLECTION_PACKAGE_SHLIBDEPS OFF)
    set(CPACK_DEBIAN_COLLECTION_DESCRIPTION "Ansible collection to switch the Velkaran agent off on a fleet
The collection velkaran.offswitch runs offswitch on every host of an
inventory at once, with the emergency key from a file on the control
machine on its standard input, in bounded time, and reports every host.
The key is never a task argument, variable or file on either side.
.
Install it on control machines; the hosts need the velkaran package.")
else()
    message(STATUS "ansible-galaxy not found: cpack makes no package of the fleet collection")
endif()
set(CPACK_DEBIAN_PACKAGE_RELEASE "${VELKARAN_PACKAGE_RELEASE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Velkaran's absolute destination must land in the package's staging tree, never on this host.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
# The staged tree's directories get 0755 whatever the builder's umask, and every timestamp is the
# release date unless SOURCE_DATE_EPOCH says otherwise.
set(CPACK_VELKARAN_RELEASE_EPOCH "${VELKARAN_RELEASE_EPOCH}")
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/PackageStaging.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/PackageArchive.cmake")
configure_file("${PROJECT_SOURCE_DIR}/cmake/CPackProject.cmake.in"
               "${CMAKE_BINARY_DIR}/CPackProject.cmake" @ONLY)
set(CPACK_PROJECT_CONFIG_FILE "${CMAKE_BINARY_DIR}/CPackProject.cmake")
# No source package: one made from a checkout could hold build trees and key files. CPack offers
# the package_source target only where its source configuration lies in the build tree.
set(CPACK_SOURCE_OUTPUT_CONFIG_FILE "${CMAKE_BINARY_DIR}/CMakeFiles/CPackSourceConfig.unused")
include(CPack)
# The collection's package carries the collection's own version, from galaxy.yml, and its own
# release date. CPack gives every component of one configuration the project's version, so that
# package has a configuration of its own: cpack --config CPackCollectionConfig.cmake.
if(ANSIBLE_GALAXY)
    velkaran_release_epoch("${PROJECT_SOURCE_DIR}/packaging/changelog-collection"
                           VELKARAN_COLLECTION_RELEASE_EPOCH)
    configure_file("${PROJECT_SOURCE_DIR}/cmake/CPackCollection.cmake.in"
                   "${CMAKE_BINARY_DIR}/CPackCollectionConfig.cmake" @ONLY)
endif()
file(REMOVE "${CPACK_SOURCE_OUTPUT_CONFIG_FILE}" "${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake")
