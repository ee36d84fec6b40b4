#include <halvex/halvex_export.h>

// Version of the library, for callers that check what they loaded.
HALVEX_C_API const char* halvex_version() { return "3.5.0"; }
