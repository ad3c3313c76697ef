#include <stdlib.h>

#include "platform/winapi.h"

BOOL SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (!lpName || !*lpName)
        return FALSE;
    return (lpValue ? setenv(lpName, lpValue, 1) : unsetenv(lpName)) == 0 ? TRUE : FALSE;
}
