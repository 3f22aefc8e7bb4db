// libftd2xx.so, the vendor's Linux build of D2XX, through the dynamic
// loader's normal search.
#include <dlfcn.h>

#include "platform/dynlib.h"

void* dynlib_open_d2xx() { return dlopen("libftd2xx.so", RTLD_NOW | RTLD_LOCAL); }

void* dynlib_symbol(void* library, const char* name) { return dlsym(library, name); }
