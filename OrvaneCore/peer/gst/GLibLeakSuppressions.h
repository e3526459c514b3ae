#pragma once

// For the main file of a program that runs GStreamer, once per program.
//
// GLib drops its first quark table, by design, once GStreamer's plugins have
// made more than 2048 quarks; only a full unwind shows it comes from GLib's
// library constructor.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:_dl_init\n"; }
#endif
