# What `cmake --install` puts in place, in three components: runtime (the
# library), development (headers, link, pkg-config and CMake files, the demo
# and varnex-doctor) and python (the package). CPack makes the Windows ZIP
# of all three, and on Linux the Debian packages of each (cmake/debian.cmake).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

option(VARNEX_DEBIAN_PACKAGES
    "Install as the Debian packages lay it out: the Python package for Debian's Python, over the system's library" OFF)

install(FILES include/varnex.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(DIRECTORY include/varnex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

if(NOT WIN32)
    if(VARNEX_DEBIAN_PACKAGES)
        set(VARNEX_PYTHON_DIR lib/python3/dist-packages)
    else()
        # Where Debian 12's Python looks under a prefix
        # (/usr/local/lib/python3.11/dist-packages); "." for a wheel.
        set(VARNEX_PYTHON_DIR lib/python3.11/dist-packages CACHE STRING
            "Where the Python package goes, relative to the install prefix")
    endif()
    install(DIRECTORY bindings/python/varnex DESTINATION ${VARNEX_PYTHON_DIR} COMPONENT python PATTERN __pycache__ EXCLUDE)
    # The manual pages (the tools' and the reference's) carry the date of the
    # latest release in the Debian changelog, so that two builds of one
    # version make the same pages.
    file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog release_line REGEX "^ -- .*>  " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .*>  " "" release_date "${release_line}")
    execute_process(COMMAND date -d "${release_date}" +%s OUTPUT_VARIABLE VARNEX_RELEASE_EPOCH
        OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    if(NOT VARNEX_DEBIAN_PACKAGES)
        # The package loads the library beside it first: one real file, which a
        # wheel can carry (it keeps no symbolic links).
        install(FILES $<TARGET_FILE:varnex> DESTINATION ${VARNEX_PYTHON_DIR}/varnex RENAME libvarnex.so
            COMPONENT python)
        # `cmake --install --strip` strips what install(TARGETS) puts in place; this copy too.
        install(CODE "
            if(CMAKE_INSTALL_DO_STRIP)
                execute_process(COMMAND \"${CMAKE_STRIP}\"
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${VARNEX_PYTHON_DIR}/varnex/libvarnex.so\"
                    COMMAND_ERROR_IS_FATAL ANY)
            endif()
        " COMPONENT python)
    endif()
endif()

if(WIN32)
    install(TARGETS varnex RUNTIME DESTINATION bin COMPONENT runtime)
    install(FILES ${VARNEX_MINGW_IMPLIB} ${VARNEX_MSVC_IMPLIB} DESTINATION lib COMPONENT development)
    install(FILES ${VARNEX_EXPORTS_DIR}/varnex-${VARNEX_WINDOWS_ARCH}-msvc.def DESTINATION lib RENAME Varnex.def
        COMPONENT development)
    install(FILES bindings/dotnet/Varnex.cs DESTINATION bindings/dotnet COMPONENT development)
    install(FILES LICENSE DESTINATION . COMPONENT runtime)
    if(VARNEX_WINDOWS_ARCH STREQUAL "i686")
        set(CPACK_SYSTEM_NAME win32)
    else()
        set(CPACK_SYSTEM_NAME win64)
    endif()
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME Varnex)
    set(CPACK_PACKAGE_VENDOR Varnex)
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Paces a host at a fixed rate")
    set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
    include(CPack)
    return()
endif()

install(TARGETS varnex EXPORT VarnexTargets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Varnex)
install(EXPORT VarnexTargets NAMESPACE Varnex:: DESTINATION ${config_dir} COMPONENT development)
configure_package_config_file(cmake/VarnexConfig.cmake.in ${CMAKE_BINARY_DIR}/VarnexConfig.cmake
    INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VarnexConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VarnexConfig.cmake ${CMAKE_BINARY_DIR}/VarnexConfigVersion.cmake
    DESTINATION ${config_dir} COMPONENT development)
# The prefix is taken at install time, so that `cmake --install --prefix`
# writes the right one.
install(CODE "
    set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/varnex.pc.in\" \"${CMAKE_BINARY_DIR}/varnex.pc\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/varnex.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
" COMPONENT development)

if(VARNEX_DEBIAN_PACKAGES)
    include(cmake/debian.cmake)
endif()
