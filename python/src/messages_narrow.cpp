// The run's messages are shared by both tree layouts and are compiled once,
// for the narrow one, in vok's own build.  The wide output code of the
// extension refers to them (the file-writing paths the extension never
// takes), so they are compiled here the same way, without STREE_WIDE.
#undef STREE_WIDE
#include "messages.cpp"
