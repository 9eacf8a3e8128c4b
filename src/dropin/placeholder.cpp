#include <new>

#include "varnex.h"

int nVarnex = 0;

CVarnex::CVarnex() = default;

CVarnex& CVarnex::operator=(const CVarnex&) = default;

#if defined(_WIN32)
// Export of the constructor (ordinal 1). A host built by MSVC takes the new
// object from EAX/RAX after the call (`new CVarnex` relies on it), which GCC's
// own constructor leaves undefined. On i686 `this` arrives in ECX, as MSVC
// passes it to members. GCC warns that the attribute is meant for members,
// and applies it.
#  if defined(__i386__)
#    define VARNEX_MEMBER_CALL __attribute__((thiscall))
#  else
#    define VARNEX_MEMBER_CALL
#  endif
#  pragma GCC diagnostic push
#  pragma GCC diagnostic ignored "-Wattributes"
extern "C" VARNEX_MEMBER_CALL CVarnex* varnex_construct(CVarnex* self)
{
    return ::new (self) CVarnex();
}
#  pragma GCC diagnostic pop
#endif
