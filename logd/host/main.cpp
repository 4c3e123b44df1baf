// hbalogd's program entry.
#include "logd/host/program.h"

int main(int argc, char** argv) { return kvx::logd::run_hbalogd(argc, argv); }
