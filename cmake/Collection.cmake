# The fleet switch: the Ansible collection velkaran.offswitch, built into its tarball with
# ansible-galaxy, as the tests install it and as it is published.
set(collection_source "${PROJECT_SOURCE_DIR}/ansible_collections/velkaran/offswitch")
# The collection has a version of its own, galaxy.yml's, which its tarball and its Debian package
# carry: it changes with the collection, not with the programs.
file(STRINGS "${collection_source}/galaxy.yml" collection_version REGEX "^version: ")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${collection_source}/galaxy.yml")
if(NOT collection_version MATCHES "^version: ([0-9]+\\.[0-9]+\\.[0-9]+)$")
    message(FATAL_ERROR "The collection's galaxy.yml says '${collection_version}': expected "
                        "'version: MAJOR.MINOR.PATCH'.")
endif()
set(VELKARAN_COLLECTION_VERSION "${CMAKE_MATCH_1}")
set(VELKARAN_COLLECTION
    "${CMAKE_BINARY_DIR}/collection/velkaran-offswitch-${VELKARAN_COLLECTION_VERSION}.tar.gz")
find_program(ANSIBLE_GALAXY ansible-galaxy)
if(ANSIBLE_GALAXY)
    file(GLOB_RECURSE collection_files CONFIGURE_DEPENDS "${collection_source}/*")
    list(FILTER collection_files EXCLUDE REGEX "/__pycache__/")
    add_custom_command(OUTPUT "${VELKARAN_COLLECTION}"
        COMMAND "${ANSIBLE_GALAXY}" collection build --force
                --output-path "${CMAKE_BINARY_DIR}/collection" "${collection_source}"
        DEPENDS ${collection_files}
        COMMENT "Building the collection velkaran.offswitch"
        VERBATIM)
    add_custom_target(collection ALL DEPENDS "${VELKARAN_COLLECTION}")
else()
    message(STATUS "ansible-galaxy not found: the collection's tarball is not built")
endif()
