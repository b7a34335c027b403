// ThreadSanitizer options of this test program. A program start forks an
// intermediate child that calls only setsid, fork and _exit before the
// stand-in's exec; ThreadSanitizer restarts its own background thread in the
// child of a multi-threaded fork and, by default, makes that child die. No
// thread of ours runs there, so these tests run with die_after_fork=0.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
