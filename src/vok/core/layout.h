// The core's tree-dependent parts (the corpus of one layout, selection,
// matching, bags) compile once per tree layout: for the narrow tree in the
// global namespace, and with STREE_WIDE set for the wide tree in the
// namespace vok_wide.  The layout-neutral calls of corpus.h choose between
// the two (core.cpp); nothing else does.
#ifndef VOK_CORE_LAYOUT_H
#define VOK_CORE_LAYOUT_H

#include "stree_internal.h"

#if defined(STREE_WIDE)
#define VOK_NS_BEGIN namespace vok_wide { using namespace stree_wide;
#define VOK_NS_END }
#else
#define VOK_NS_BEGIN
#define VOK_NS_END
#endif

#endif  // VOK_CORE_LAYOUT_H
