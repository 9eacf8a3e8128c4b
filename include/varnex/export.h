/**
 * \file export.h
 * \brief What every public Varnex header shares: the library's version, the export macro and the
 * calling convention.
 */
#ifndef VARNEX_EXPORT_H
#define VARNEX_EXPORT_H

/** \brief The major version of these headers. \since 1.1 */
#define VARNEX_VERSION_MAJOR 1
/** \brief The minor version of these headers. \since 1.1 */
#define VARNEX_VERSION_MINOR 8
/** \brief The patch version of these headers. \since 1.1 */
#define VARNEX_VERSION_PATCH 0

/* VARNEX_API marks what the library exports and VARNEX_CALL the pacer's
 * calling convention, cdecl everywhere. The DLL's export list is its
 * module-definition file, so building it marks nothing; a host imports. The
 * .so exports what its version script names. */
#if defined(_WIN32)
#  define VARNEX_CALL __cdecl
#  if defined(VARNEX_BUILDING)
#    define VARNEX_API
#  else
#    define VARNEX_API __declspec(dllimport)
#  endif
#else
#  define VARNEX_CALL
#  define VARNEX_API __attribute__((visibility("default")))
#endif

#endif
