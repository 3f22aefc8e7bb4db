// Linked into a test build of pelupdate: the kernel-driver provider opens the
// tty named by PEL_TEST_TTY (a pseudo-terminal) instead of looking for an
// adapter among the driver's entries. Nothing else differs from pelupdate.
#include <cstdlib>

#include "adapter/tty_adapter.h"

namespace {

const bool path_set = [] {
    tty_use_path(std::getenv("PEL_TEST_TTY"));
    return true;
}();

}  // namespace
