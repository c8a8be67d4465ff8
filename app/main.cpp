// The `quorvane` command (see app/Command.h).

#include "app/Command.h"

int main(int argc, char** argv) { return quorvane::app::runQuorvane(argc, argv); }
