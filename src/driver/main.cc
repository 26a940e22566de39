#include "driver/job.h"

int main(int argc, char* argv[]) { return filterMain(argc, argv); }
