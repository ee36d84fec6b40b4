// Umbrella header of halvex: includes the whole exported interface.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/text/text.h>
