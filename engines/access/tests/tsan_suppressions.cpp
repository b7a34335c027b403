// ThreadSanitizer cannot see the atomics of the regular-expression library's
// block cache (the compiled library is not instrumented), so blocks handed
// from one matching thread to the next look like races on the match stack.
// Only those frames are silenced; every race in our own code still reports.
#include "engines/access/tests/tsan_suppressions.h"

namespace zv::engines::testing {

const char* const kRegexRaceSuppressions =
    "race:boost::re_detail_*::saved_*\n"
    "race:boost::re_detail_*::repeater_count*\n"
    "race:boost::re_detail_*::perl_matcher*::push_*\n"
    "race:boost::re_detail_*::perl_matcher*::unwind_*\n";

}  // namespace zv::engines::testing

#if defined(__SANITIZE_THREAD__)
#define ZV_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZV_TSAN_BUILD 1
#endif
#endif

#ifdef ZV_TSAN_BUILD
extern "C" const char* __tsan_default_suppressions() { return zv::engines::testing::kRegexRaceSuppressions; }
#endif
