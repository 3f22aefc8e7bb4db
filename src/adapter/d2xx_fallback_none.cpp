// Windows: the vendor's library is the only way to the adapter.
#include "adapter/d2xx_fallback.h"

const D2xxFallback* d2xx_fallback() { return nullptr; }
