// Test hooks of the core, for front ends whose tests must make the tree's
// node pool run out of memory (the Python package's) without seeing the
// tree.  Each acts on the pool of the layout named by `wide`.
#ifndef VOK_CORE_TESTING_H
#define VOK_CORE_TESTING_H

// From the n-th record request from now on (n > 0), every request fails,
// as when memory has run out; 0 disarms.
void vok_testing_fail_from(bool wide, long n);
// Record requests made since the process started.
long vok_testing_requests(bool wide);
// Pool pages in use.
long vok_testing_pages(bool wide);

#endif  // VOK_CORE_TESTING_H
