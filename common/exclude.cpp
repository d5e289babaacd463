// Exclusions and move legality.
#include "frame.h"

// TRUE for the characters '0' to '9'.
BOOL isdecimaldigit(WCHAR c)
{
    return (c >= u'0' && c <= u'9') ? TRUE : FALSE;
}
