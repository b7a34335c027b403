// The regular-expression suppressions for this test binary.
#include "engines/base/regex_race_suppressions.h"
