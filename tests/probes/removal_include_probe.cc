// Compiled with the removal code's include paths by the removal_include_boundary test, which
// passes only when this include cannot be found.
#include "platform/setup_platform.h"
#include "platform/standin/profile_reader.h"
