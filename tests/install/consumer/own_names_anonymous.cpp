// The library's internal names defined by the application in an anonymous
// namespace: using them unqualified must not be ambiguous with anything the library
// header declares.
#include <Talvex05u.h>

namespace {
#include "own_names.inc"
}  // namespace

int OwnNamesInAnonymousNamespace()
{
    CUdpDataBlockEx block(kConvertFail);   // and the library beside them
    return block.m_nProcedure;
}
