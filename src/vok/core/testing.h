// Test hooks of the core, for tests that must make the tree's node pool or
// its build run out of memory (the Python package's, the core's) without
// seeing the tree.  Each acts on the layout named by `wide`.
#ifndef VOK_CORE_TESTING_H
#define VOK_CORE_TESTING_H

// From the n-th record request from now on (n > 0), every request fails,
// as when memory has run out; 0 disarms.
void vok_testing_fail_from(bool wide, long n);
// From now, the n-th allocation of the tree's build in one go (n > 0)
// fails, once, so that the build falls back to insertion; 0 disarms.
void vok_testing_fail_build_at(bool wide, long n);
// Record requests made since the process started.
long vok_testing_requests(bool wide);
// Pool pages in use.
long vok_testing_pages(bool wide);
// Pool pages whose memory a selection gave back (VOK_READ_BAGS_ONLY).
long vok_testing_pages_passed(bool wide);

#endif  // VOK_CORE_TESTING_H
