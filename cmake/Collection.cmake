# The fleet switch: the Ansible collection velkaran.offswitch, built into its tarball with
# ansible-galaxy, as the tests install it and as it is published.
set(collection_source "${PROJECT_SOURCE_DIR}/ansible_collections/velkaran/offswitch")
set(VELKARAN_COLLECTION
    "${CMAKE_BINARY_DIR}/collection/velkaran-offswitch-${PROJECT_VERSION}.tar.gz")
file(STRINGS "${collection_source}/galaxy.yml" collection_version REGEX "^version: ")
if(NOT collection_version STREQUAL "version: ${PROJECT_VERSION}")
    message(FATAL_ERROR "The collection's galaxy.yml says '${collection_version}'; the project's "
                        "version is ${PROJECT_VERSION}: give both the same.")
endif()
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
