// kvxls [-DN]: lists the adapters of kvxwdd.
#include "listtool/listing.h"

int main(int argc, char** argv) { return kvx::listtool::run_listing(argc, argv); }
