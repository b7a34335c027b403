// ThreadSanitizer's default suppressions for every program that matches
// paths with the regular-expression library on several threads (zvorx and
// the engine test binaries). The library's block cache is compiled without
// instrumentation, so blocks handed from one matching thread to the next
// look like races on the match stack; only those frames are silenced, every
// race in our own code still reports. Outside ThreadSanitizer builds this
// header is empty.
//
// Include it from exactly one source file of each such program: it defines
// the sanitizer's hook.
#pragma once

#if defined(__SANITIZE_THREAD__)
#define ZV_REGEX_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZV_REGEX_TSAN_BUILD 1
#endif
#endif

#ifdef ZV_REGEX_TSAN_BUILD
extern "C" const char* __tsan_default_suppressions() {
  return "race:boost::re_detail_*::saved_*\n"
         "race:boost::re_detail_*::repeater_count*\n"
         "race:boost::re_detail_*::perl_matcher*::push_*\n"
         "race:boost::re_detail_*::perl_matcher*::unwind_*\n";
}
#endif
