// The simulated adapter as the adapter double: a healthy device between cases.
#include "inproc/inproc_adapter.h"
#include "support/harness.h"

void reset_adapter() { sim::start(sim::Scenario{}); }
