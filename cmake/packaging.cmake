# What `cmake --install` puts in place, and the Windows ZIP that CPack makes.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES include/varnex.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/varnex DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(NOT WIN32)
    # The Python package, where Debian 12's Python looks under a prefix
    # (/usr/local/lib/python3.11/dist-packages), with the library beside it.
    set(VARNEX_PYTHON_DIR lib/python3.11/dist-packages CACHE STRING
        "Where the Python package goes, relative to the install prefix")
    install(DIRECTORY python/varnex DESTINATION ${VARNEX_PYTHON_DIR} PATTERN __pycache__ EXCLUDE)
    install(FILES $<TARGET_FILE:varnex> DESTINATION ${VARNEX_PYTHON_DIR}/varnex RENAME libvarnex.so)
endif()

if(WIN32)
    install(TARGETS varnex RUNTIME DESTINATION bin)
    install(FILES ${VARNEX_MINGW_IMPLIB} ${VARNEX_MSVC_IMPLIB} DESTINATION lib)
    install(FILES ${VARNEX_EXPORTS_DIR}/varnex-${VARNEX_WINDOWS_ARCH}-msvc.def DESTINATION lib RENAME Varnex.def)
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
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
set(config_dir ${CMAKE_INSTALL_LIBDIR}/cmake/Varnex)
install(EXPORT VarnexTargets NAMESPACE Varnex:: DESTINATION ${config_dir})
configure_package_config_file(cmake/VarnexConfig.cmake.in ${CMAKE_BINARY_DIR}/VarnexConfig.cmake
    INSTALL_DESTINATION ${config_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/VarnexConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/VarnexConfig.cmake ${CMAKE_BINARY_DIR}/VarnexConfigVersion.cmake
    DESTINATION ${config_dir})
# The prefix is taken at install time, so that `cmake --install --prefix`
# writes the right one.
install(CODE "
    set(CMAKE_INSTALL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    set(CMAKE_INSTALL_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(CMAKE_INSTALL_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(PROJECT_VERSION \"${PROJECT_VERSION}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/cmake/varnex.pc.in\" \"${CMAKE_BINARY_DIR}/varnex.pc\" @ONLY)
    file(INSTALL \"${CMAKE_BINARY_DIR}/varnex.pc\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig\")
")
