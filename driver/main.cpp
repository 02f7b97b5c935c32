#include "driver/unzrq.h"

int main(int argc, char** argv) { return RunUnzrq(argc, argv); }
