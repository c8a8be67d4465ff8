// The `quorvane` command (see app/Command.h).

#include <malloc.h>

#include "app/Command.h"

int main(int argc, char** argv) {
    // The main thread allocates from the main arena and every other thread from one more. glibc
    // would otherwise give each worker thread (parses, transfers) an arena of its own, and what a
    // thread freed stays with its arena for that thread alone, so a large sync ended holding the
    // high-water mark of every arena at once: about a fifth more resident memory at 10,000
    // contacts a side. One arena for every thread costs more than it saves: the main thread and
    // the workers then wait on each other's allocations.
    mallopt(M_ARENA_MAX, 2);
    return quorvane::app::runQuorvane(argc, argv);
}
