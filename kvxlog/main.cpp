// kvxlog: shows the entries of the adapters' ring log files, oldest first.
#include "kvxlog/program.h"

int main(int argc, char** argv) { return kvx::kvxlog::run_kvxlog(argc, argv); }
