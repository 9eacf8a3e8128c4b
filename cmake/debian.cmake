# The Debian packages, one per component: `cpack -G DEB` in a build
# configured for the /usr prefix with VARNEX_DEBIAN_PACKAGES (scripts/deb.sh).
#   libvarnex1      runtime      the library under its soname
#   libvarnex-dev   development  headers, link, pkg-config and CMake files, tools
#   python3-varnex  python       the package, over libvarnex1's library
set(debian_dir ${PROJECT_SOURCE_DIR}/packaging/debian)
set(debian_version ${PROJECT_VERSION}-1)

# The changelog is written by hand; its latest entry must be this version.
file(STRINGS ${debian_dir}/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^varnex \\(${debian_version}\\) ")
    message(FATAL_ERROR "packaging/debian/changelog: the latest entry is not ${debian_version}: ${changelog_head}")
endif()
set(debian_build_dir ${CMAKE_BINARY_DIR}/debian)
file(MAKE_DIRECTORY ${debian_build_dir})
execute_process(COMMAND gzip -9nc ${debian_dir}/changelog
    OUTPUT_FILE ${debian_build_dir}/changelog.Debian.gz COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${debian_dir}/changelog ${PROJECT_SOURCE_DIR}/LICENSE)

# The copyright file in Debian's machine-readable format, over LICENSE's
# text: its notice, then the licence with each blank line as " .".
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE license_lines)
list(FILTER license_lines EXCLUDE REGEX "^(MIT License|Copyright .*)$")
set(license_body "")
set(leading TRUE)
foreach(line IN LISTS license_lines)
    if(line STREQUAL "")
        if(NOT leading)
            string(APPEND license_body " .\n")
        endif()
    else()
        string(APPEND license_body " ${line}\n")
        set(leading FALSE)
    endif()
endforeach()
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE copyright_line REGEX "^Copyright ")
string(REGEX REPLACE "^Copyright \\(c\\) " "" copyright_holder "${copyright_line}")
file(WRITE ${debian_build_dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: varnex

Files: *
Copyright: ${copyright_holder}
License: Expat

License: Expat
${license_body}")

# Each package carries the copyright and the changelog in its own doc folder.
set(debian_components runtime development python)
set(debian_packages libvarnex1 libvarnex-dev python3-varnex)
foreach(component package IN ZIP_LISTS debian_components debian_packages)
    install(FILES ${debian_build_dir}/copyright ${debian_build_dir}/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

# A host that links the library needs the version that added the newest
# symbol it may use: the latest node of the export table.
file(STRINGS ${VARNEX_EXPORTS_TABLE} export_lines REGEX "^[^#]")
set(newest_node 0)
foreach(line IN LISTS export_lines)
    string(REGEX MATCH "VARNEX_([0-9.]+)[ \t]*$" _ "${line}")
    if(CMAKE_MATCH_1 VERSION_GREATER newest_node)
        set(newest_node ${CMAKE_MATCH_1})
    endif()
endforeach()
file(WRITE ${debian_build_dir}/shlibs
    "libvarnex ${PROJECT_VERSION_MAJOR} libvarnex${PROJECT_VERSION_MAJOR} (>= ${newest_node})\n")
file(WRITE ${debian_build_dir}/triggers "activate-noawait ldconfig\n")

# CPack takes the architecture of the machine that packs
# (dpkg --print-architecture); a cross build names its own.
if(CMAKE_CROSSCOMPILING)
    if(NOT CMAKE_SYSTEM_PROCESSOR STREQUAL "aarch64")
        message(FATAL_ERROR "Debian packages of a cross build are made for aarch64 only, not ${CMAKE_SYSTEM_PROCESSOR}")
    endif()
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${debian_components})
set(CPACK_PACKAGE_NAME varnex)
set(CPACK_PACKAGE_VENDOR "The Varnex developers")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The pkg-config file names the prefix that it is installed under.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Varnex developers <varnex-developers@users.noreply.invalid>")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tools link the library of the build; libvarnex1 is named in full below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# CPack's own postinst and postrm run ldconfig as well, which lintian warns
# of; a script in their place would be empty, which it warns of too.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${debian_build_dir}/shlibs;${debian_build_dir}/triggers")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "paces a program at a fixed rate: shared library
Varnex paces a host program at a fixed rate: a pacer on a drift-free grid of
deadlines, which waits by spinning on the counter, by the kernel's absolute
sleep, or by sleeping then spinning with a margin that it learns from the
sleeps' own oversleep. It can follow the system clock, so that machines
synchronized by chrony or PTP tick together, and hands an event loop a
descriptor that becomes readable when a tick is near.
.
This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libvarnex1 (= ${debian_version})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "paces a program at a fixed rate: development files and tools
Varnex paces a host program at a fixed rate on a drift-free grid of
deadlines, by spinning, sleeping, or sleeping then spinning.
.
This package holds the C and C++ headers, the link to the library, its
pkg-config file and CMake package, the demo host varnex-demo and
varnex-doctor, which reports what this machine allows a pacer.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libvarnex1 (= ${debian_version}), python3:any")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA "${debian_dir}/postinst;${debian_dir}/prerm")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "paces a program at a fixed rate: Python 3 module
Varnex paces a host program at a fixed rate on a drift-free grid of
deadlines, by spinning, sleeping, or sleeping then spinning.
.
This package holds the module varnex for Python 3: a Pacer to iterate,
wait on or await, its statistics and scheduling controls.")

include(CPack)
