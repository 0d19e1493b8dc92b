#pragma once
// TAVRINE_TEST_SANITIZED is defined in builds under a sanitizer, whose
// runtime brings its own allocator and shadow memory: address-space limits,
// allocation probes and page-fault counts mean something else there.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define TAVRINE_TEST_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAVRINE_TEST_SANITIZED 1
#endif
